// The process on POSIX systems: signals and standard output.
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "platform/posix_call.h"
#include "platform/process.h"

namespace zibel::platform {
namespace {

using posix::system_call;
using seam::Point;

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

// The files to remove when a signal ends the run, in order: their names,
// directories and descriptors. A name is set last and cleared first.
constexpr int kCleanups = 2;  // a temporary file and its record
std::atomic<const char*> cleanup_name[kCleanups] = {};
std::atomic<int> cleanup_directory[kCleanups] = {};
std::atomic<int> cleanup_descriptor[kCleanups] = {};
static_assert(std::atomic<const char*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// Removes the file, then ends the process as the signal would have without
// this handler (SA_RESETHAND has put back the default action). Only calls
// that are safe in a signal handler, and none through the seam.
extern "C" void on_ending_signal(int signal_number) {
  const int saved_errno = errno;
  for (int i = 0; i < kCleanups; ++i) {
    const char* name = cleanup_name[i].load();
    if (name != nullptr &&
        posix::names_descriptor(cleanup_directory[i].load(), name, cleanup_descriptor[i].load())) {
      (void)::unlinkat(cleanup_directory[i].load(), name, 0);
    }
  }
  (void)::raise(signal_number);
  errno = saved_errno;
}

// The signals blocked while signals are blocked, as the kernel takes a mask:
// bit n - 1 for signal n. The ending signals, and 32 and 33, which the C
// library keeps for its threads and refuses to let a program handle or block
// through its functions, but which end a process all the same. This program
// has one thread, so blocking them for it alone is safe.
std::uint64_t kernel_blocked = 0;
constexpr std::uint64_t kLibraryReserved = std::uint64_t{3} << 31;  // signals 32 and 33

// How many blocks are alive, and the signal mask from before the outermost,
// put back when it ends: signals that the caller had blocked stay blocked.
int block_depth = 0;
std::uint64_t kernel_mask_before_block = 0;
sigset_t mask_before_block;

// The kernel's own rt_sigprocmask, which, unlike the C library's, blocks 32
// and 33 too. Cannot fail with these arguments.
void set_kernel_mask(int how, const std::uint64_t* mask, std::uint64_t* before) {
  (void)::syscall(SYS_rt_sigprocmask, how, mask, before, sizeof *mask);
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
  static_assert(sizeof(sigset_t) >= sizeof kernel_blocked);
  std::memcpy(&kernel_blocked, &ending_signals, sizeof kernel_blocked);  // the first 64 signals
  kernel_blocked |= kLibraryReserved;

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

void remove_on_interrupt(const Directory& directory, const char* name, File file) {
  for (int i = 0; i < kCleanups; ++i) {
    if (cleanup_name[i].load() != nullptr) continue;
    cleanup_directory[i].store(static_cast<int>(directory.handle));
    cleanup_descriptor[i].store(static_cast<int>(file.handle));
    cleanup_name[i].store(name);
    return;
  }
}

void forget_on_interrupt() {
  for (std::atomic<const char*>& name : cleanup_name) name.store(nullptr);
}

InterruptHold::InterruptHold() {
  if (block_depth++ > 0) return;
  set_kernel_mask(SIG_BLOCK, &kernel_blocked, &kernel_mask_before_block);
  // The same mask for ppoll, which takes the C library's form.
  (void)::sigemptyset(&mask_before_block);
  std::memcpy(&mask_before_block, &kernel_mask_before_block, sizeof kernel_mask_before_block);
}

InterruptHold::~InterruptHold() {
  if (--block_depth > 0) return;
  set_kernel_mask(SIG_SETMASK, &kernel_mask_before_block, nullptr);
}

OutputWait::OutputWait() {
  if (block_depth == 0) return;
  // Linux reports a pipe writable once a page of it is free, and every message
  // is shorter than that: after this wait, which lets the blocked signals act,
  // the write does not wait.
  pollfd output{STDOUT_FILENO, POLLOUT, 0};
  (void)system_call({Point::wait, STDOUT_FILENO}, [&](std::uint64_t) {
    return ::ppoll(&output, 1, nullptr, &mask_before_block);
  });
}

OutputWait::~OutputWait() = default;

bool write_output(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t count = system_call(
        {Point::write, STDOUT_FILENO, 0, length, nullptr, text}, [&](std::uint64_t limit) {
          return ::write(STDOUT_FILENO, text, posix::at_most(length, limit));
        });
    if (count <= 0) return false;
    text += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

// A path is bytes here, printed as they are.
bool print_with_path(const char* text, std::size_t length) {
  return print(text, length);
}

// Through tgkill: the C library's raise refuses the signals it keeps for
// itself (32 and 33), which other programs can send all the same.
void seam::raise_interrupt(int signal_number) {
  (void)::syscall(SYS_tgkill, ::getpid(), ::gettid(), signal_number);
}

void seam::end_now() {
  (void)::raise(SIGKILL);
  ::_exit(137);  // not reached
}

}  // namespace zibel::platform
