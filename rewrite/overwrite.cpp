#include "rewrite/overwrite.h"

#include "platform/seam.h"

namespace zibel {

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

}  // namespace zibel
