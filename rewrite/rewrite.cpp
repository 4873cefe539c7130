#include "rewrite/rewrite.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/platform.h"
#include "rewrite/finder.h"
#include "rewrite/substitution.h"

namespace zibel {
namespace {

// Large enough that system calls are few, small enough that the buffers stay
// in the processor's cache and cost few page faults in a short run.
constexpr std::size_t kWorkBufferSize = std::size_t{128} << 10;
constexpr std::size_t kOutputBufferSize = std::size_t{128} << 10;
static_assert(kWorkBufferSize >= minimum_work_buffer(ArgumentField::kMaxLength));
static_assert(Finder::kMaxPatternLength >= ArgumentField::kMaxLength);

char work_buffer[kWorkBufferSize];
char output_buffer[kOutputBufferSize];

// How many numbered names ("<target>.1.tmp" ...) are tried after "<target>.tmp".
constexpr int kNumberedTemporaryNames = 99;

// Where the last name of a path starts.
std::size_t last_name_start(std::string_view path) {
  std::size_t start = path.size();
  while (start > 0 && !platform::is_separator(path[start - 1])) --start;
  return start;
}

bool continues_character(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Steps back from `end` to the start of a UTF-8 character, so that a name cut
// there stays whole characters. Bytes that are not UTF-8 are cut where they are.
std::size_t character_start(std::string_view text, std::size_t end, std::size_t floor) {
  std::size_t start = end;
  for (int back = 0; back < 3 && start > floor && continues_character(text[start]); ++back) {
    --start;
  }
  const bool starts_character = (static_cast<unsigned char>(text[start]) & 0xC0) == 0xC0;
  return start < end && starts_character ? start : end;
}

// Forms the n-th candidate temporary path: "<base>.tmp" for 0, then
// "<base>.<n>.tmp". When the last name would be too long for a folder entry,
// the base's last name is cut to fit first, so that any file that can be
// opened can be edited. False when the path does not fit its field.
bool form_temporary_path(std::string_view base, int n, ArgumentField& temporary_path) {
  char ending[24];
  const int ending_length =
      n == 0 ? std::snprintf(ending, sizeof ending, "%s", kTemporarySuffix.data())
             : std::snprintf(ending, sizeof ending, ".%d%s", n, kTemporarySuffix.data());
  if (ending_length < 0) return false;
  const std::string_view end{ending, static_cast<std::size_t>(ending_length)};
  const std::size_t name_start = last_name_start(base);
  std::size_t kept = base.size();
  while (kept > name_start &&
         !platform::name_fits(base.substr(name_start, kept - name_start), end)) {
    kept = character_start(base, kept - 1, name_start);
  }
  temporary_path.assign("");
  return temporary_path.append(base.substr(0, kept)) && temporary_path.append(end);
}

}  // namespace

Edit::~Edit() {
  discard_temporary();
  close_target();
}

Outcome Edit::prepare() {
  if (!platform::open_for_update(request_.target_path.c_str(), target_)) {
    return Outcome::cannot_open;
  }
  target_open_ = true;
  if (!platform::lock_for_edit(target_) || !platform::stamp_of(target_, target_stamp_)) {
    return give_up(Outcome::cannot_open);
  }

  const PassResult result = substitute(*this, request_.old_string.view(),
                                       request_.new_string.view(), work_buffer, output_buffer);
  switch (result) {
    case PassResult::no_occurrence:
      return give_up(Outcome::unchanged);
    case PassResult::read_failed:
      return give_up(Outcome::cannot_read);
    case PassResult::write_failed:
      return give_up(Outcome::cannot_write_temporary);
    case PassResult::replaced:
      break;
  }
  // The temporary file, and its name, must survive anything that happens to
  // the target while it is overwritten.
  if (!platform::flush_to_disk(temporary_) ||
      !platform::flush_name_to_disk(request_.temporary_path.c_str())) {
    return give_up(Outcome::cannot_write_temporary);
  }
  return Outcome::ready;
}

std::ptrdiff_t Edit::read(char* into, std::size_t capacity) {
  const std::ptrdiff_t count = platform::read_some(target_, into, capacity);
  if (count > 0) input_length_ += static_cast<std::uint64_t>(count);
  return count;
}

bool Edit::start_output(std::uint64_t prefix_length) {
  if (!create_temporary()) return false;
  written_ = prefix_length;
  first_change_ = prefix_length;
  return platform::copy_bytes(target_, 0, temporary_, prefix_length);
}

bool Edit::write(const char* bytes, std::size_t length) {
  written_ += length;
  return platform::write_all(temporary_, bytes, length);
}

// Creates the temporary file under the first free name beside the file the
// target resolves to, on the same file system as the data it protects; a file
// that already has one of these names is never touched.
bool Edit::create_temporary() {
  if (!platform::resolve_links(request_.target_path.c_str(), resolved_target_,
                               sizeof resolved_target_) ||
      !platform::names_file(resolved_target_, target_)) {
    return false;  // the links changed since the target was opened
  }
  for (int n = 0; n <= kNumberedTemporaryNames; ++n) {
    if (!form_temporary_path(resolved_target_, n, request_.temporary_path)) return false;
    platform::CreateResult result;
    {
      // The file and the duty to remove it on a signal come into being together.
      const platform::InterruptHold hold;
      result = platform::create_new(request_.temporary_path.c_str(), temporary_);
      if (result == platform::CreateResult::created) {
        platform::remove_on_interrupt(request_.temporary_path.c_str(), temporary_);
      }
    }
    switch (result) {
      case platform::CreateResult::created:
        temporary_state_ = TemporaryState::open;
        // Locked before anything is written: another run of the tool that
        // opened it by name meanwhile finds it empty, and any later one waits
        // until this edit has ended.
        return platform::lock_for_edit(temporary_);
      case platform::CreateResult::name_taken:
        continue;
      case platform::CreateResult::failed:
        return false;
    }
  }
  return false;
}

// Ends an edit that will not be committed: the temporary file is removed and
// the target, only read so far, closed.
Outcome Edit::give_up(Outcome outcome) {
  discard_temporary();
  close_target();
  return outcome;
}

void Edit::discard_temporary() {
  if (temporary_state_ != TemporaryState::open) return;
  {
    const platform::InterruptHold hold;
    // Nothing more can be done when it cannot be removed.
    (void)platform::remove_file(request_.temporary_path.c_str(), temporary_);
    platform::forget_on_interrupt();
  }
  (void)platform::close(temporary_);  // its content is thrown away
  temporary_state_ = TemporaryState::not_made;
}

void Edit::close_target() {
  if (!target_open_) return;
  target_open_ = false;
  // Only reached when the target was only read: a failing close loses nothing.
  (void)platform::close(target_);
}

}  // namespace zibel
