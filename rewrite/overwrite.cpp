#include "rewrite/overwrite.h"

#include "platform/seam.h"

namespace zibel {
namespace {

std::uint64_t least(std::uint64_t a, std::uint64_t b) {
  return a < b ? a : b;
}

std::uint64_t most(std::uint64_t a, std::uint64_t b) {
  return a > b ? a : b;
}

void unlock(platform::File target, std::span<const ByteRange> regions, std::uint64_t first_change) {
  for (const ByteRange& region : regions) {
    const std::uint64_t begin = most(region.begin, first_change);
    if (region.end > begin) platform::unlock_range(target, begin, region.end - begin);
  }
}

}  // namespace

Overwrite overwrite(platform::File target, std::uint64_t target_length, platform::File content,
                    std::span<const ByteRange> regions, std::uint64_t first_change,
                    std::uint64_t new_length) {
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const std::uint64_t begin = most(regions[i].begin, first_change);
    const std::uint64_t end = regions[i].end;
    const std::uint64_t written_end = least(end, new_length);
    if (end <= begin) continue;
    if ((written_end > begin && !platform::preallocate(target, begin, written_end - begin)) ||
        !platform::lock_range(target, begin, end - begin)) {
      unlock(target, regions.first(i), first_change);
      return Overwrite::refused;
    }
  }
  const bool shorter = new_length < target_length;
  if (shorter && !platform::set_length(target, new_length)) {
    unlock(target, regions, first_change);
    return Overwrite::refused;
  }
  platform::seam::reach(platform::seam::Point::before_commit);
  bool written = true;
  for (const ByteRange& region : regions) {
    const std::uint64_t begin = most(region.begin, first_change);
    const std::uint64_t written_end = least(region.end, new_length);
    if (written_end > begin) {
      written = written && platform::copy(content, begin, target, begin, written_end - begin);
    }
  }
  written =
      written && (shorter || platform::set_length(target, new_length)) && platform::flush(target);
  unlock(target, regions, first_change);
  return written ? Overwrite::done : Overwrite::failed;
}

}  // namespace zibel
