// The platform operations on POSIX systems (Linux first of all).
//
// Every call that can be interrupted by a signal is retried on EINTR, and every
// transfer is continued until it is complete or fails.
#include <fcntl.h>
#include <poll.h>
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

// The longest name one folder entry holds on the file systems Linux uses.
constexpr std::size_t kMaxNameLength = 255;

// How many symbolic links in a row are followed, as the kernel does.
constexpr int kMaxLinksFollowed = 40;

// The byte that runs of this tool lock: far past the end of any real file,
// so that no other program asks for it.
constexpr off_t kLockOffset = std::numeric_limits<off_t>::max() - 15;

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
      case faults::Effect::zero_transfer:
        result = 0;
        break;
      case faults::Effect::raise_signal:
        (void)::raise(hit.value);
        result = call(kNoLimit);
        break;
      case faults::Effect::run_hook:  // the hook has run already
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

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---------------------------------------------------------------------------
// Signals that end the run.

// Every signal whose default action ends the process, and that the tool
// handles; filled by start_process.
sigset_t ending_signals;

// Whether the default action of this signal ends the process: all but those
// that stop, continue or are ignored by default, and the two that cannot be
// caught. SIGPIPE and SIGXFSZ are ignored instead (see start_process).
bool ends_the_process(int signal_number) {
  for (const int other : {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG,
                          SIGWINCH, SIGPIPE, SIGXFSZ}) {
    if (signal_number == other) return false;
  }
  return true;
}

// The temporary file to remove when a signal ends the run, and its descriptor:
// the name is removed only while it still leads to that file.
std::atomic<const char*> interrupted_cleanup{nullptr};
std::atomic<int> interrupted_cleanup_descriptor{-1};
static_assert(std::atomic<const char*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// Removes the temporary file, then ends the process as the signal would have
// without this handler (SA_RESETHAND has put back the default action). Only
// calls that are safe in a signal handler.
extern "C" void on_ending_signal(int signal_number) {
  const int saved_errno = errno;
  const char* path = interrupted_cleanup.load();
  // names_file makes only lstat and fstat calls, both safe here.
  if (path != nullptr && names_file(path, File{interrupted_cleanup_descriptor.load()})) {
    (void)::unlink(path);
  }
  (void)::raise(signal_number);
  errno = saved_errno;
}

// How many holds are alive, and the signal mask from before the outermost,
// put back when it ends: signals that the caller had blocked stay blocked.
int hold_depth = 0;
sigset_t mask_before_hold;

// ---------------------------------------------------------------------------
// Opening and copying.

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

// Keeps standard input, output and error open, on the null device when they
// were closed: a file the tool opens then never gets one of their numbers,
// where a message would be written into it.
void open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR | O_NOCTTY);  // takes the lowest free number, fd
    if (null < 0) ::_exit(127);  // no null device: nothing can be done safely
  }
}

}  // namespace

void start_process() {
  open_standard_descriptors();
  // Past a file size limit a write then fails with EFBIG, and a closed
  // standard output costs only the message: both are reported by the status
  // instead of the process being killed halfway.
  (void)::signal(SIGXFSZ, SIG_IGN);
  (void)::signal(SIGPIPE, SIG_IGN);

  (void)::sigemptyset(&ending_signals);
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    // A signal that is ignored (as for a program started with nohup) stays
    // ignored; one that a runtime already handles (a sanitizer's) keeps its
    // handler. The C library refuses the signals it keeps for itself.
    struct sigaction previous {};
    if (ends_the_process(signal_number) && ::sigaction(signal_number, nullptr, &previous) == 0 &&
        previous.sa_handler == SIG_DFL && (previous.sa_flags & SA_SIGINFO) == 0) {
      (void)::sigaddset(&ending_signals, signal_number);
    }
  }
  struct sigaction action {};
  action.sa_handler = on_ending_signal;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  action.sa_mask = ending_signals;  // one cleanup at a time
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    if (::sigismember(&ending_signals, signal_number) == 1) {
      (void)::sigaction(signal_number, &action, nullptr);
    }
  }
}

void remove_on_interrupt(const char* path, File file) {
  interrupted_cleanup_descriptor.store(descriptor(file));
  interrupted_cleanup.store(path);
}

void forget_on_interrupt() {
  interrupted_cleanup.store(nullptr);
}

InterruptHold::InterruptHold() {
  if (hold_depth++ > 0) return;
  // Cannot fail with these arguments.
  (void)::sigprocmask(SIG_BLOCK, &ending_signals, &mask_before_hold);
}

InterruptHold::~InterruptHold() {
  if (--hold_depth > 0) return;
  (void)::sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr);  // cannot fail either
}

bool print(const char* text, std::size_t length) {
  if (hold_depth > 0) {
    // The commit is over by the time anything is printed under a hold: should
    // the output not take the text (a pipe nobody reads), the wait lets the
    // held signals through, so that the run can still be ended. Messages are
    // shorter than PIPE_BUF, so a ready output takes them without waiting.
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    while (::ppoll(&output, 1, nullptr, &mask_before_hold) < 0 && errno == EINTR) {
    }
  }
  return write_all(File{STDOUT_FILENO}, text, length);
}

// A path is bytes here, printed as they are.
bool print_with_path(const char* text, std::size_t length) {
  return print(text, length);
}

Existence look_up(const char* path) {
  struct stat status {};
  if (::lstat(path, &status) == 0) return Existence::exists;
  // A name longer than any folder entry holds cannot exist either.
  return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG ? Existence::missing
                                                                      : Existence::unknown;
}

bool open_for_update(const char* path, File& file) {
  // Opening has effects of its own on pipes and devices (it releases a writer
  // waiting on a pipe), so only a regular file is opened at all. O_NONBLOCK
  // keeps the open from waiting should the entry be swapped for a pipe in
  // between; the descriptor is then checked to be the file that was looked at.
  struct stat looked {};
  if (::stat(path, &looked) != 0 || !S_ISREG(looked.st_mode)) return false;
  int fd = system_call(Operation::open, [&](std::size_t) {
    return ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  });
  // Another program holds a lease on the file (a file server's cached copy):
  // the open has asked it to give the lease up, and a writer waits for that.
  if (fd < 0 && errno == EWOULDBLOCK) {
    fd = system_call(Operation::open,
                     [&](std::size_t) { return ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY); });
  }
  if (fd < 0) return false;
  struct stat opened {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || !same_file(looked, opened) ||
      flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    (void)::close(fd);  // nothing was read or written through it
    return false;
  }
  file.handle = fd;
  return true;
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

bool name_fits(std::string_view name, std::string_view ending) {
  return name.size() + ending.size() <= kMaxNameLength;
}

bool is_separator(char c) {
  return c == '/';
}

bool resolve_links(const char* path, char* resolved, std::size_t capacity) {
  const std::size_t length = std::strlen(path);
  if (length >= capacity) return false;
  std::memcpy(resolved, path, length + 1);
  char link[4096];
  for (int followed = 0; followed <= kMaxLinksFollowed; ++followed) {
    struct stat status {};
    if (::lstat(resolved, &status) != 0) return false;
    if (!S_ISLNK(status.st_mode)) return true;
    const ssize_t count = ::readlink(resolved, link, sizeof link);
    if (count <= 0 || static_cast<std::size_t>(count) >= sizeof link) return false;
    const auto link_length = static_cast<std::size_t>(count);
    // A relative link leads on from the folder that holds it.
    const char* slash = std::strrchr(resolved, '/');
    const std::size_t folder_length =
        link[0] == '/' || slash == nullptr ? 0 : static_cast<std::size_t>(slash - resolved) + 1;
    if (folder_length + link_length >= capacity) return false;
    std::memcpy(resolved + folder_length, link, link_length);
    resolved[folder_length + link_length] = '\0';
  }
  return false;  // the links go round
}

bool names_file(const char* path, File file) {
  struct stat named {};
  struct stat held {};
  return ::lstat(path, &named) == 0 && ::fstat(descriptor(file), &held) == 0 &&
         same_file(named, held);
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
  bool copied_any = false;
  while (length > 0) {
    const std::size_t wanted = length < kKernelCopyChunk ? length : kKernelCopyChunk;
    const ssize_t count = system_call(Operation::copy, [&](std::size_t limit) {
      return ::copy_file_range(descriptor(from), &offset, descriptor(to), nullptr,
                               at_most(wanted, limit), 0);
    });
    // Until the kernel has copied something, any refusal (a file system or a
    // sandbox that does not allow it, a first count of 0) means the copy goes
    // through memory instead; after that, a failure is a failure.
    if (count <= 0 && !copied_any) {
      return copy_through_buffer(descriptor(from), offset, descriptor(to), length);
    }
    if (count <= 0) return false;  // an error, or `from` ended early
    copied_any = true;
    length -= static_cast<std::uint64_t>(count);
  }
  return true;
}

bool reserve(File file, std::uint64_t offset, std::uint64_t length) {
  // A file without holes has room up to its end already: only what lies past
  // it is set aside, which spares a walk over every block of a large file.
  struct stat status {};
  if (::fstat(descriptor(file), &status) != 0) return false;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const auto allocated = static_cast<std::uint64_t>(status.st_blocks) * 512;
  if (allocated >= size && offset < size) {
    length = offset + length > size ? offset + length - size : 0;
    offset = size;
  }
  if (length == 0) return true;
  if (system_call(Operation::reserve, [&](std::size_t) {
        return ::fallocate(descriptor(file), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                           static_cast<off_t>(length));
      }) == 0) {
    return true;
  }
  // A file system that cannot set room aside is written as it comes.
  return errno == EOPNOTSUPP || errno == ENOSYS;
}

bool stamp_of(File file, FileStamp& stamp) {
  struct stat status {};
  if (::fstat(descriptor(file), &status) != 0) return false;
  constexpr std::int64_t kNanoseconds = 1'000'000'000;
  stamp.length = static_cast<std::uint64_t>(status.st_size);
  stamp.written = status.st_mtim.tv_sec * kNanoseconds + status.st_mtim.tv_nsec;
  stamp.changed = status.st_ctim.tv_sec * kNanoseconds + status.st_ctim.tv_nsec;
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

bool remove_file(const char* path, File file) {
  return system_call(Operation::remove, [&](std::size_t) {
           // Looked at right before the name goes: another program may have
           // put a file of its own there.
           if (!names_file(path, file)) {
             errno = ENOENT;
             return -1;
           }
           return ::unlink(path);
         }) == 0;
}

bool lock_for_edit(File file) {
  // A lock owned by the open file, not by the process (F_OFD_SETLKW); where
  // the kernel has none of those, a classic one, which serves as well here.
  struct flock region {};
  region.l_type = F_WRLCK;
  region.l_whence = SEEK_SET;
  region.l_start = kLockOffset;
  region.l_len = 1;
  int result = system_call(Operation::lock, [&](std::size_t) {
    return ::fcntl(descriptor(file), F_OFD_SETLKW, &region);
  });
  if (result != 0 && errno == EINVAL) {
    result = system_call(Operation::lock,
                         [&](std::size_t) { return ::fcntl(descriptor(file), F_SETLKW, &region); });
  }
  if (result == 0) return true;
  // A file system without locks can still be edited, only not guarded.
  return errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
}

bool seek(File file, std::uint64_t offset) {
  const auto position = static_cast<off_t>(offset);
  return ::lseek(descriptor(file), position, SEEK_SET) == position;
}

}  // namespace zibel::platform
