// The copy from one file to another, for both systems: through the kernel's
// own copy where it works, else through memory.
#include "platform/files.h"

namespace zibel::platform {
namespace {

// The buffer of copies through memory, and the most one kernel copy is asked
// for (it needs no buffer of ours).
constexpr std::size_t kBufferSize = std::size_t{128} << 10;
char buffer[kBufferSize];
constexpr std::uint64_t kKernelChunk = std::uint64_t{1} << 20;

std::uint64_t least(std::uint64_t a, std::uint64_t b) {
  return a < b ? a : b;
}

}  // namespace

bool copy(File from, std::uint64_t from_offset, File to, std::uint64_t to_offset,
          std::uint64_t length) {
  // Until the kernel has copied something, any refusal (a file system or a
  // sandbox that does not allow it, a first count of 0) means the copy goes
  // through memory instead; after that, a failure is a failure.
  bool in_kernel = true;
  bool copied_any = false;
  while (length > 0) {
    std::int64_t count = 0;
    if (in_kernel) {
      count = copy_in_kernel(from, from_offset, to, to_offset, least(length, kKernelChunk));
      if (count <= 0 && copied_any) return false;  // an error, or `from` ended early
      in_kernel = count > 0;
    }
    if (!in_kernel) {
      count =
          read_at(from, from_offset, buffer, static_cast<std::size_t>(least(length, kBufferSize)));
      if (count <= 0 || !write_at(to, to_offset, buffer, static_cast<std::size_t>(count))) {
        return false;
      }
    }
    copied_any = true;
    const auto copied = static_cast<std::uint64_t>(count);
    from_offset += copied;
    to_offset += copied;
    length -= copied;
  }
  return true;
}

}  // namespace zibel::platform
