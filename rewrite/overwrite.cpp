#include "rewrite/overwrite.h"

#include "platform/seam.h"

namespace zibel {
namespace {

std::uint64_t least(std::uint64_t a, std::uint64_t b) {
  return a < b ? a : b;
}

void unlock(platform::File target, std::span<const ByteRange> regions) {
  for (const ByteRange& region : regions) {
    platform::unlock_range(target, region.begin, region.end - region.begin);
  }
}

}  // namespace

Overwrite overwrite(platform::File target, std::uint64_t target_length, platform::File content,
                    std::span<const ByteRange> regions, std::uint64_t new_length) {
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const ByteRange& region = regions[i];
    const std::uint64_t written_end = least(region.end, new_length);
    if ((written_end > region.begin &&
         !platform::preallocate(target, region.begin, written_end - region.begin)) ||
        !platform::lock_range(target, region.begin, region.end - region.begin)) {
      unlock(target, regions.first(i));
      return Overwrite::refused;
    }
  }
  const bool shorter = new_length < target_length;
  if (shorter && !platform::set_length(target, new_length)) {
    unlock(target, regions);
    return Overwrite::refused;
  }
  platform::seam::reach(platform::seam::Point::before_commit);
  bool written = true;
  for (const ByteRange& region : regions) {
    const std::uint64_t written_end = least(region.end, new_length);
    if (written_end > region.begin) {
      written = written && platform::copy(content, region.begin, target, region.begin,
                                          written_end - region.begin);
    }
  }
  written =
      written && (shorter || platform::set_length(target, new_length)) && platform::flush(target);
  unlock(target, regions);
  return written ? Overwrite::done : Overwrite::failed;
}

}  // namespace zibel
