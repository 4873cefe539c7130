// The platform operations on POSIX systems (Linux first of all).
//
// Every call that can be interrupted by a signal is retried on EINTR, and every
// transfer is continued until it is complete or fails.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>

#include "platform/faults.h"
#include "platform/platform.h"

namespace zibel::platform {
namespace {

using faults::Operation;

// Scratch space for copies that the kernel cannot do by itself.
constexpr std::size_t kCopyBufferSize = std::size_t{128} << 10;
char copy_buffer[kCopyBufferSize];

// The most bytes one kernel copy is asked for; it needs no buffer of ours.
constexpr std::size_t kKernelCopyChunk = std::size_t{1} << 20;

int descriptor(File file) {
  return static_cast<int>(file.handle);
}

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Makes a system call, again for as long as a signal interrupts it. The call
// is given the most bytes it may transfer. A fault armed by a test can stand
// in for the call or cut its transfer short.
template <typename Call>
auto system_call(Operation operation, Call call) {
  decltype(call(kNoLimit)) result = -1;
  do {
    const faults::Hit hit = faults::next(operation);
    switch (hit.effect) {
      case faults::Effect::fail:
      case faults::Effect::interrupt:
        errno = hit.effect == faults::Effect::fail ? hit.value : EINTR;
        result = -1;
        break;
      case faults::Effect::short_transfer:
        result = call(std::size_t{1});
        break;
      case faults::Effect::raise_signal:
        (void)::raise(hit.value);
        result = call(kNoLimit);
        break;
      case faults::Effect::none:
        result = call(kNoLimit);
        break;
    }
  } while (result == -1 && errno == EINTR);
  return result;
}

std::size_t at_most(std::size_t length, std::size_t limit) {
  return length < limit ? length : limit;
}

// The temporary file to remove when an interrupt ends the run, or null.
std::atomic<const char*> interrupted_cleanup{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the temporary file, then ends the process as the signal would have
// without this handler (SA_RESETHAND has put back the default action).
extern "C" void on_interrupt(int signal_number) {
  const int saved_errno = errno;
  if (const char* path = interrupted_cleanup.load()) (void)::unlink(path);
  (void)::raise(signal_number);
  errno = saved_errno;
}

// The signal mask the process had before interrupts were held back, put back
// on release: interrupts that the caller had blocked stay blocked.
sigset_t mask_before_hold;
bool interrupts_held = false;
// Opens an existing path and accepts it only when it is a regular file: a
// device, pipe or socket has no content that could be rewritten in place.
// O_NONBLOCK keeps the open of a pipe or device from waiting; it is cleared
// again once the entry is known to be a regular file.
bool open_regular(const char* path, int access, File& file) {
  const int fd = system_call(Operation::open, [&](std::size_t) {
    return ::open(path, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  });
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
    const std::size_t wanted = length < kCopyBufferSize ? length : kCopyBufferSize;
    const ssize_t count = system_call(Operation::read, [&](std::size_t limit) {
      return ::pread(from, copy_buffer, at_most(wanted, limit), offset);
    });
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
  (void)::signal(SIGXFSZ, SIG_IGN);

  struct sigaction action {};
  action.sa_handler = on_interrupt;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  (void)::sigemptyset(&action.sa_mask);
  for (const int signal_number : kInterrupts) {
    // An interrupt that is ignored (as for a program started with nohup)
    // stays ignored.
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      (void)::sigaction(signal_number, &action, nullptr);
    }
  }
}

void remove_on_interrupt(const char* path) {
  interrupted_cleanup.store(path);
}

void hold_interrupts() {
  if (interrupts_held) return;
  sigset_t interrupts;
  (void)::sigemptyset(&interrupts);
  for (const int signal_number : kInterrupts) (void)::sigaddset(&interrupts, signal_number);
  // Cannot fail with these arguments.
  (void)::sigprocmask(SIG_BLOCK, &interrupts, &mask_before_hold);
  interrupts_held = true;
}

void release_interrupts() {
  if (!interrupts_held) return;
  interrupts_held = false;
  (void)::sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr);  // cannot fail either
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

CreateResult create_new(const char* path, File& file) {
  // Private to the owner: the file holds the target's content.
  const int fd = system_call(Operation::create, [&](std::size_t) {
    return ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, S_IRUSR | S_IWUSR);
  });
  if (fd < 0) return errno == EEXIST ? CreateResult::name_taken : CreateResult::failed;
  file.handle = fd;
  return CreateResult::created;
}

std::ptrdiff_t read_some(File file, char* into, std::size_t capacity) {
  return system_call(Operation::read, [&](std::size_t limit) {
    return ::read(descriptor(file), into, at_most(capacity, limit));
  });
}

bool write_all(File file, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t count = system_call(Operation::write, [&](std::size_t limit) {
      return ::write(descriptor(file), bytes, at_most(length, limit));
    });
    if (count <= 0) return false;
    bytes += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

bool copy_bytes(File from, std::uint64_t from_offset, File to, std::uint64_t length) {
  auto offset = static_cast<off_t>(from_offset);
  while (length > 0) {
    const std::size_t wanted = length < kKernelCopyChunk ? length : kKernelCopyChunk;
    const ssize_t count = system_call(Operation::copy, [&](std::size_t limit) {
      return ::copy_file_range(descriptor(from), &offset, descriptor(to), nullptr,
                               at_most(wanted, limit), 0);
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
  return system_call(Operation::truncate, [&](std::size_t) {
           return ::ftruncate(descriptor(file), static_cast<off_t>(length));
         }) == 0;
}

bool flush_to_disk(File file) {
  return system_call(Operation::flush, [&](std::size_t) { return ::fsync(descriptor(file)); }) == 0;
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
  const int fd = system_call(Operation::open, [&](std::size_t) {
    return ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
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
  // On Linux the descriptor is released even when close fails, and must not be
  // closed again; after EINTR nothing is lost, the data having been flushed
  // before wherever it matters.
  const faults::Hit hit = faults::next(Operation::close);
  if (hit.effect == faults::Effect::raise_signal) (void)::raise(hit.value);
  const bool closed = ::close(descriptor(file)) == 0 || errno == EINTR;
  if (hit.effect == faults::Effect::fail) errno = hit.value;
  return closed && hit.effect != faults::Effect::fail;
}

bool remove_file(const char* path) {
  return system_call(Operation::remove, [&](std::size_t) { return ::unlink(path); }) == 0;
}

bool lock_for_edit(File file) {
  if (system_call(Operation::lock,
                  [&](std::size_t) { return ::flock(descriptor(file), LOCK_EX); }) == 0) {
    return true;
  }
  // A file system without locks can still be edited, only not guarded.
  return errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
}

bool rewind(File file) {
  return ::lseek(descriptor(file), 0, SEEK_SET) == 0;
}

}  // namespace zibel::platform
