// For the POSIX backends only: how a system call passes through the test
// seam, and the look at a name that the signal handler shares.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "platform/seam.h"

namespace zibel::platform::posix {

inline std::size_t at_most(std::uint64_t length, std::uint64_t limit) {
  constexpr std::uint64_t kLargest = std::numeric_limits<std::size_t>::max();
  const std::uint64_t least = length < limit ? length : limit;
  return static_cast<std::size_t>(least < kLargest ? least : kLargest);
}

// Makes a system call through the seam, again for as long as a signal
// interrupts it. `make(limit)` makes the call, transferring at most `limit`
// bytes, and returns what the system returned (-1 with errno on failure).
template <typename Make>
auto system_call(const seam::Call& call, Make make) {
  for (;;) {
    const seam::Decision decision = seam::enter(call);
    decltype(make(std::uint64_t{0})) result = -1;
    if (decision.fail || decision.interrupt) {
      errno = decision.fail ? decision.error : EINTR;
    } else {
      result = make(decision.limit);
    }
    const int error = result < 0 ? errno : 0;
    seam::leave(call, static_cast<std::int64_t>(result), error);
    if (result >= 0 || error != EINTR) {
      errno = error;
      return result;
    }
  }
}

inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in the directory, not followed if it is a link, is the open
// file `descriptor`. Only calls that are safe in a signal handler, and none
// through the seam, whose counters are not.
inline bool names_descriptor(int directory, const char* name, int descriptor) {
  struct stat named {};
  struct stat held {};
  return ::fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstat(descriptor, &held) == 0 && same_file(named, held);
}

}  // namespace zibel::platform::posix
