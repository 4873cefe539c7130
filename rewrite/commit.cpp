#include "platform/platform.h"
#include "rewrite/rewrite.h"

namespace zibel {

// The target is overwritten in place, never replaced by a rename, so it keeps
// its inode: mode, owner, hard links and links that name it stay as they were.
// Only the bytes from the first occurrence on are written: those before it are
// the same already. The temporary file still holds the whole new content, and
// is only removed once the target's new content is on disk; until then it is
// the one complete copy of the result.
Outcome Edit::commit() {
  // From here on a signal must neither tear the target nor remove the
  // temporary file: the caller's hold keeps it waiting until the outcome has
  // been told.
  platform::forget_on_interrupt();

  // A target that grows gets its room first: a disk too full for it is found
  // while the target is still untouched.
  if (written_ > input_length_ &&
      !platform::reserve(target_, input_length_, written_ - input_length_)) {
    return give_up(Outcome::cannot_update);
  }
  bool updated =
      platform::seek(target_, first_change_) &&
      platform::copy_bytes(temporary_, first_change_, target_, written_ - first_change_) &&
      platform::set_length(target_, written_) && platform::flush_to_disk(target_);
  target_open_ = false;
  updated = platform::close(target_) && updated;
  if (!updated) {
    temporary_state_ = TemporaryState::closed;
    (void)platform::close(temporary_);  // its content is on disk already
    return Outcome::update_incomplete;
  }

  // A temporary file that cannot be removed is left behind silently: the edit
  // itself is complete.
  (void)platform::remove_file(request_.temporary_path.c_str(), temporary_);
  temporary_state_ = TemporaryState::closed;
  (void)platform::close(temporary_);  // only read since it was flushed
  return Outcome::replaced;
}

}  // namespace zibel
