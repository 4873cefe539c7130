#include "rewrite/edit.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/names.h"
#include "platform/seam.h"
#include "rewrite/finder.h"

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
// "<base>.<n>.tmp". When the last name would be too long for a directory
// entry, or the path for its field, the base's last name is cut to fit first,
// so that any file that can be opened can be edited. False when even a name
// cut to nothing does not fit.
bool form_temporary_path(std::string_view base, int n, ArgumentField& temporary_path) {
  char ending[24];
  const int ending_length =
      n == 0 ? std::snprintf(ending, sizeof ending, "%s", kTemporarySuffix.data())
             : std::snprintf(ending, sizeof ending, ".%d%s", n, kTemporarySuffix.data());
  if (ending_length < 0) return false;
  const std::string_view end{ending, static_cast<std::size_t>(ending_length)};
  const std::size_t name_start = platform::last_name_start(base);
  std::size_t kept = base.size();
  while (kept > name_start &&
         (!platform::name_fits(base.substr(name_start, kept - name_start), end) ||
          kept + end.size() > ArgumentField::kMaxLength)) {
    kept = character_start(base, kept - 1, name_start);
  }
  temporary_path.assign("");
  return temporary_path.append(base.substr(0, kept)) && temporary_path.append(end);
}

}  // namespace

Edit::~Edit() {
  discard_temporary();
  close_target();
  platform::close(directory_);
}

std::optional<Outcome> Edit::prepare() {
  if (!platform::open_for_update(request_.target_path.c_str(), target_)) {
    return Outcome::cannot_open;
  }
  target_open_ = true;
  if (!platform::lock_for_edit(target_) || !platform::state_of(target_, target_state_)) {
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
  if (!platform::flush(temporary_) ||
      platform::publish(directory_, temporary_, temporary_name_) != platform::Created::created) {
    return give_up(Outcome::cannot_write_temporary);
  }
  platform::seam::reach(platform::seam::Point::temporary_durable);
  return std::nullopt;
}

std::ptrdiff_t Edit::read(char* into, std::size_t capacity) {
  const std::ptrdiff_t count = platform::read_at(target_, input_length_, into, capacity);
  if (count > 0) input_length_ += static_cast<std::uint64_t>(count);
  return count;
}

bool Edit::start_output(std::uint64_t prefix_length) {
  if (!create_temporary()) return false;
  written_ = prefix_length;
  first_change_ = prefix_length;
  return platform::copy(target_, 0, temporary_, 0, prefix_length);
}

bool Edit::write(const char* bytes, std::size_t length) {
  const std::uint64_t offset = written_;
  written_ += length;
  return platform::write_at(temporary_, offset, bytes, length);
}

// Creates the temporary file under the first free name beside the file the
// target resolves to, on the same file system as the data it protects; a file
// that already has one of these names is never touched.
bool Edit::create_temporary() {
  if (!platform::place_temporary_files(request_.target_path.c_str(), target_, beside_,
                                       sizeof beside_)) {
    return false;
  }
  const std::string_view beside{beside_};
  const std::size_t directory_length = platform::last_name_start(beside);
  if (!platform::open_directory(beside.substr(0, directory_length), directory_)) return false;
  for (int n = 0; n <= kNumberedTemporaryNames; ++n) {
    if (!form_temporary_path(beside, n, request_.temporary_path)) return false;
    temporary_name_ = request_.temporary_path.c_str() + directory_length;
    platform::Created result;
    {
      // The file and the duty to remove it on a signal come into being together.
      const platform::InterruptHold blocked;
      result = platform::create_private(directory_, temporary_name_, temporary_);
      if (result == platform::Created::created) {
        platform::remove_on_interrupt(directory_, temporary_name_, temporary_);
      }
    }
    switch (result) {
      case platform::Created::created:
        temporary_state_ = TemporaryState::open;
        // Locked before anything is written: another run of the tool that
        // opened it by name meanwhile finds it empty, and any later one waits
        // until this edit has ended.
        return platform::lock_for_edit(temporary_);
      case platform::Created::name_taken:
        continue;
      case platform::Created::failed:
        return false;
    }
  }
  return false;
}

namespace {

enum class Overwrite {
  done,     // the target holds the new content, on disk
  refused,  // the target is untouched
  failed,   // the target may hold part of the new content
};

// Writes the new content, `new_length` bytes of `content`, over `target`, now
// `target_length` bytes long, of which the first `first_change` bytes are the
// same already. Everything that can be asked before the first byte is written
// is asked first, so that it refuses with the target untouched rather than
// fail part way: disk space for what the target will hold from the first
// change on (a longer end, holes), the range locked against other programs
// where their locks would stop a write, and for a shorter content its new
// length (Windows refuses to shorten a file that another program has mapped).
Overwrite overwrite(platform::File target, std::uint64_t target_length, platform::File content,
                    std::uint64_t first_change, std::uint64_t new_length) {
  const std::uint64_t end = target_length > new_length ? target_length : new_length;
  if (!platform::preallocate(target, first_change, new_length - first_change) ||
      !platform::lock_range(target, first_change, end - first_change)) {
    return Overwrite::refused;
  }
  const bool shorter = new_length < target_length;
  if (shorter && !platform::set_length(target, new_length)) {
    platform::unlock_range(target, first_change, end - first_change);
    return Overwrite::refused;
  }
  platform::seam::reach(platform::seam::Point::before_commit);
  const bool written =
      platform::copy(content, first_change, target, first_change, new_length - first_change) &&
      (shorter || platform::set_length(target, new_length)) && platform::flush(target);
  platform::unlock_range(target, first_change, end - first_change);
  return written ? Overwrite::done : Overwrite::failed;
}

}  // namespace

// The target is overwritten in place, never replaced by a rename, so it keeps
// its inode: mode, owner, hard links and links that name it stay as they were.
// Only the bytes from the first occurrence on are written: those before it are
// the same already. The temporary file still holds the whole new content, and
// is only removed once the target's new content is on disk; until then it is
// the one complete copy of the result.
Outcome Edit::commit(const platform::InterruptHold&) {
  // From here on a signal must neither tear the target nor remove the
  // temporary file: the blocked signals wait until the outcome has been told.
  platform::forget_on_interrupt();

  // Another program that wrote to the target since the edit began (bytes
  // appended to a log, a line changed) would lose what it wrote, or have it
  // mixed with the new content: the edit is given up instead, the target as
  // that program left it.
  platform::FileState now;
  if (!platform::state_of(target_, now) || now != target_state_ || now.length != input_length_) {
    return give_up(Outcome::cannot_update);
  }
  const Overwrite result = overwrite(target_, input_length_, temporary_, first_change_, written_);
  if (result == Overwrite::refused) return give_up(Outcome::cannot_update);
  target_open_ = false;
  const bool closed = platform::close(target_);
  if (result != Overwrite::done || !closed) {
    temporary_state_ = TemporaryState::closed;
    (void)platform::close(temporary_);  // its content is on disk already
    return Outcome::update_incomplete;
  }
  platform::seam::reach(platform::seam::Point::after_commit);

  // A temporary file that cannot be removed is left behind silently: the edit
  // itself is complete.
  (void)platform::remove(directory_, temporary_name_, temporary_);
  temporary_state_ = TemporaryState::closed;
  (void)platform::close(temporary_);  // only read since it was flushed
  return Outcome::replaced;
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
    const platform::InterruptHold blocked;
    // Nothing more can be done when it cannot be removed.
    (void)platform::remove(directory_, temporary_name_, temporary_);
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
