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

  // Another program that wrote to the target since the edit began (bytes
  // appended to a log, a line changed) would lose what it wrote, or have it
  // mixed with the new content: the edit is given up instead, the target as
  // that program left it.
  platform::FileStamp now;
  if (!platform::stamp_of(target_, now) || now != target_stamp_ || now.length != input_length_) {
    return give_up(Outcome::cannot_update);
  }
  // The target gets room for all it will hold from the first change on, a
  // longer end and any holes alike: a disk too full for it is found while the
  // target is still untouched.
  if (!platform::reserve(target_, first_change_, written_ - first_change_)) {
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
