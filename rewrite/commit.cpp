#include "platform/platform.h"
#include "rewrite/rewrite.h"

namespace zibel {

// The target is overwritten in place, never replaced by a rename, so it keeps
// its inode: mode, owner, hard links and links that name it stay as they were.
// The temporary file is only deleted once the target's new content is on disk;
// until then it is the one complete copy of the result.
Outcome commit(platform::File target, const char* temporary_path, std::uint64_t length) {
  // From here on an interrupt must neither tear the target nor remove the
  // temporary file: it waits until the run has told its outcome.
  platform::hold_interrupts();
  platform::remove_on_interrupt(nullptr);

  platform::File temporary;
  if (!platform::open_for_reading(temporary_path, temporary)) {
    (void)platform::close(target);  // only read so far
    (void)platform::remove_file(temporary_path);
    return Outcome::cannot_update;
  }
  bool updated = platform::rewind(target) && platform::copy_bytes(temporary, 0, target, length) &&
                 platform::set_length(target, length) && platform::flush_to_disk(target);
  updated = platform::close(target) && updated;
  (void)platform::close(temporary);  // only read
  if (!updated) return Outcome::update_incomplete;

  // A temporary file that cannot be deleted is left behind silently: the edit
  // itself is complete.
  (void)platform::remove_file(temporary_path);
  return Outcome::replaced;
}

}  // namespace zibel
