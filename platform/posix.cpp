// The platform operations on POSIX systems (Linux first of all).
//
// Every call that can be interrupted by a signal is retried on EINTR, and every
// transfer is continued until it is complete or fails.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace zibel::platform {
namespace {

// Scratch space for copies that the kernel cannot do by itself.
constexpr std::size_t kCopyChunkSize = std::size_t{1} << 20;
char copy_buffer[kCopyChunkSize];

int descriptor(File file) {
  return static_cast<int>(file.handle);
}

// Makes a system call again for as long as a signal interrupts it.
template <typename Call>
auto retrying(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Opens an existing path and accepts it only when it is a regular file: a
// device, pipe or socket has no content that could be rewritten in place.
// O_NONBLOCK keeps the open of a pipe or device from waiting; it is cleared
// again once the entry is known to be a regular file.
bool open_regular(const char* path, int access, File& file) {
  const int fd = retrying([&] { return ::open(path, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); });
  if (fd < 0) return false;
  struct stat status {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    (void)::close(fd);  // nothing was read or written through it
    return false;
  }
  file.handle = fd;
  return true;
}

// Copies through user memory, for file systems where the kernel's own copy is
// not available. Reads at an explicit offset so that `from` keeps its position.
bool copy_through_buffer(int from, off_t offset, int to, std::uint64_t length) {
  while (length > 0) {
    const std::size_t wanted = length < kCopyChunkSize ? length : kCopyChunkSize;
    const ssize_t count = retrying([&] { return ::pread(from, copy_buffer, wanted, offset); });
    if (count <= 0) return false;
    const auto got = static_cast<std::size_t>(count);
    if (!write_all(File{to}, copy_buffer, got)) return false;
    offset += count;
    length -= got;
  }
  return true;
}

bool kernel_copy_unsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == EBADF;
}

}  // namespace

void start_process() {
  // Past a file size limit a write then fails with EFBIG, which is reported
  // and cleaned up, instead of the process being killed halfway.
  ::signal(SIGXFSZ, SIG_IGN);
}

bool print(const char* text, std::size_t length) {
  return write_all(File{STDOUT_FILENO}, text, length);
}

bool path_exists(const char* path) {
  struct stat status {};
  return ::lstat(path, &status) == 0;
}

bool open_for_update(const char* path, File& file) {
  return open_regular(path, O_RDWR, file);
}

bool open_for_reading(const char* path, File& file) {
  return open_regular(path, O_RDONLY, file);
}

bool open_for_writing(const char* path, File& file) {
  return open_regular(path, O_WRONLY, file);
}

CreateResult create_new(const char* path, File& file) {
  // Private to the owner: the file holds the target's content.
  const int fd = retrying([&] {
    return ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, S_IRUSR | S_IWUSR);
  });
  if (fd < 0) return errno == EEXIST ? CreateResult::name_taken : CreateResult::failed;
  file.handle = fd;
  return CreateResult::created;
}

std::ptrdiff_t read_some(File file, char* into, std::size_t capacity) {
  return retrying([&] { return ::read(descriptor(file), into, capacity); });
}

bool write_all(File file, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t count = retrying([&] { return ::write(descriptor(file), bytes, length); });
    if (count <= 0) return false;
    bytes += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

bool copy_bytes(File from, std::uint64_t from_offset, File to, std::uint64_t length) {
  auto offset = static_cast<off_t>(from_offset);
  while (length > 0) {
    const std::size_t wanted = length < kCopyChunkSize ? length : kCopyChunkSize;
    const ssize_t count = retrying([&] {
      return ::copy_file_range(descriptor(from), &offset, descriptor(to), nullptr, wanted, 0);
    });
    if (count < 0 && kernel_copy_unsupported(errno)) {
      return copy_through_buffer(descriptor(from), offset, descriptor(to), length);
    }
    if (count <= 0) return false;  // an error, or `from` ended early
    length -= static_cast<std::uint64_t>(count);
  }
  return true;
}

bool set_length(File file, std::uint64_t length) {
  return retrying([&] { return ::ftruncate(descriptor(file), static_cast<off_t>(length)); }) == 0;
}

bool flush_to_disk(File file) {
  return retrying([&] { return ::fsync(descriptor(file)); }) == 0;
}

bool flush_name_to_disk(const char* path) {
  // The folder is the path up to its last '/': "." when it has none, "/" when
  // that is the only one.
  char folder[4096];
  const char* slash = std::strrchr(path, '/');
  const std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path);
  if (length >= sizeof folder) return false;
  if (slash == nullptr) {
    std::memcpy(folder, ".", 2);
  } else if (length == 0) {
    std::memcpy(folder, "/", 2);
  } else {
    std::memcpy(folder, path, length);
    folder[length] = '\0';
  }
  const int fd = retrying([&] { return ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  // A folder that may be written but not read cannot be opened to be flushed;
  // that must not stop an edit there.
  if (fd < 0) return errno == EACCES;
  File entry{fd};
  // Some file systems cannot flush a folder at all (EINVAL); their names are
  // as durable as they can be made.
  const bool flushed = flush_to_disk(entry) || errno == EINVAL;
  return close(entry) && flushed;
}

bool close(File file) {
  // On Linux the descriptor is released even when close reports EINTR, so it
  // must not be closed again; the data was flushed before where it matters.
  return ::close(descriptor(file)) == 0 || errno == EINTR;
}

bool remove_file(const char* path) {
  return ::unlink(path) == 0;
}

}  // namespace zibel::platform
