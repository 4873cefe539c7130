#include "rewrite/rewrite.h"

#include <cstdio>

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

// Forms the n-th candidate temporary path: "<target>.tmp" for 0, then
// "<target>.<n>.tmp". False when it does not fit its field.
bool form_temporary_path(const ArgumentField& target_path, int n, ArgumentField& temporary_path) {
  if (!temporary_path.assign(target_path.c_str())) return false;
  if (n > 0) {
    char number[16];
    const int digits = std::snprintf(number, sizeof number, ".%d", n);
    if (digits < 0 || !temporary_path.append({number, static_cast<std::size_t>(digits)})) {
      return false;
    }
  }
  return temporary_path.append(kTemporarySuffix);
}

// The life of the temporary file: made on the first occurrence, closed once
// complete, never reopened by the pass.
enum class TemporaryState { not_made, open, closed };

// The pass's streams over the real files: reads the target, and makes and
// writes the temporary file.
class FileStreams final : public PassStreams {
 public:
  FileStreams(platform::File target, Request& request) : target_(target), request_(request) {}

  std::ptrdiff_t read(char* into, std::size_t capacity) override {
    return platform::read_some(target_, into, capacity);
  }

  bool start_output(std::uint64_t prefix_length) override {
    if (!create_temporary()) return false;
    written_ = prefix_length;
    return platform::copy_bytes(target_, 0, temporary_, prefix_length);
  }

  bool write(const char* bytes, std::size_t length) override {
    written_ += length;
    return platform::write_all(temporary_, bytes, length);
  }

  std::uint64_t written() const { return written_; }

  // Flushes the temporary file, and its name, to disk and closes it: it must
  // survive anything that happens to the target while it is overwritten.
  bool finish() {
    const bool flushed = platform::flush_to_disk(temporary_);
    const bool closed = platform::close(temporary_);
    state_ = TemporaryState::closed;
    return flushed && closed && platform::flush_name_to_disk(request_.temporary_path.c_str());
  }

  // Closes (if still open) and removes a temporary file that will not be used.
  void discard() {
    if (state_ == TemporaryState::not_made) return;
    if (state_ == TemporaryState::open) (void)platform::close(temporary_);  // content thrown away
    platform::hold_interrupts();
    (void)platform::remove_file(request_.temporary_path.c_str());  // nothing more can be done
    platform::remove_on_interrupt(nullptr);
    platform::release_interrupts();
    state_ = TemporaryState::not_made;
  }

 private:
  // Creates the temporary file under the first free name; a file that
  // already has one of these names is never touched.
  bool create_temporary() {
    for (int n = 0; n <= kNumberedTemporaryNames; ++n) {
      if (!form_temporary_path(request_.target_path, n, request_.temporary_path)) continue;
      // The file and the duty to remove it on an interrupt come into being
      // together.
      platform::hold_interrupts();
      const auto result = platform::create_new(request_.temporary_path.c_str(), temporary_);
      if (result == platform::CreateResult::created) {
        platform::remove_on_interrupt(request_.temporary_path.c_str());
      }
      platform::release_interrupts();
      switch (result) {
        case platform::CreateResult::created:
          state_ = TemporaryState::open;
          return true;
        case platform::CreateResult::name_taken:
          continue;
        case platform::CreateResult::failed:
          return false;
      }
    }
    return false;
  }

  platform::File target_;
  platform::File temporary_;
  Request& request_;
  TemporaryState state_ = TemporaryState::not_made;
  std::uint64_t written_ = 0;
};

}  // namespace

// The target stays open, and locked against other runs of this tool, from
// before it is read until the commit has ended; so two runs on one file take
// turns and each sees the other's edit.
Outcome rewrite(Request& request) {
  platform::File target;
  if (!platform::open_for_update(request.target_path.c_str(), target)) return Outcome::cannot_open;
  if (!platform::lock_for_edit(target)) {
    (void)platform::close(target);  // nothing was read or written
    return Outcome::cannot_open;
  }

  FileStreams streams(target, request);
  const PassResult result = substitute(streams, request.old_string.view(),
                                       request.new_string.view(), work_buffer, output_buffer);
  Outcome failure = Outcome::unchanged;
  switch (result) {
    case PassResult::no_occurrence:
      break;
    case PassResult::read_failed:
      failure = Outcome::cannot_read;
      break;
    case PassResult::write_failed:
      failure = Outcome::cannot_write_temporary;
      break;
    case PassResult::replaced:
      if (streams.finish())
        return commit(target, request.temporary_path.c_str(), streams.written());
      failure = Outcome::cannot_write_temporary;
      break;
  }
  streams.discard();
  // The target was only read, so a failing close cannot have lost anything.
  (void)platform::close(target);
  return failure;
}

}  // namespace zibel
