// The test seam, as SQLite's table of system calls: every system call the
// platform layer makes (but those of the signal handler) passes through
// enter() and leave(), and the engine marks the named moments of an edit. In
// a normal run nothing is armed and nothing observes: enter() counts the call
// and returns, leave() keeps the error of a failed call.
//
// A test build arms one fault: the n-th call of one kind (or the n-th time a
// moment is reached) then fails, is interrupted, transfers a single byte or
// nothing, raises a signal, ends the process at once, or first runs a hook of
// the test's. What each effect does is decided here, once, for both backends;
// a backend only makes the call fail, cut it short or let it go.
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

namespace zibel::platform::seam {

// The kinds of system calls, and the moments of an edit, in one list: the
// enumeration, the names the tests use and the count all come from it.
//   open         opening a file or directory by name (open, openat, CreateFileW)
//   create       making a new file (O_TMPFILE or O_EXCL, CREATE_NEW)
//   link         giving a new file its name (linkat), or keeping one made
//                under its name when it is closed (FileDispositionInfo)
//   look         reading a file's metadata (stat, lstat, fstat, fstatat,
//                FS_IOC_GETVERSION, GetFileAttributesW, GetFileInformationByHandle)
//   read_link    reading a symbolic link (readlink; Windows lets the system
//                follow links, so it makes no such call)
//   read, write  positional transfers (pread, pwrite, ReadFile, WriteFile)
//   copy         the kernel's own copy (copy_file_range)
//   clone        a file made to share another's blocks (FICLONE)
//   preallocate  fallocate, FileAllocationInfo
//   truncate     ftruncate, FileEndOfFileInfo
//   flush        fsync of a file or directory, FlushFileBuffers
//   close        close, CloseHandle
//   remove       unlinkat, FileDispositionInfo
//   lock         fcntl locks, LockFileEx
//   control      other fcntl calls (descriptor flags)
//   wait         ppoll, waiting for standard output (Windows writes without waiting)
// Moments, reached by the engine:
//   recovered          what a run cut short left is completed or removed (or
//                      there was none), and the edit's own work begins
//   temporary_durable  the temporary file and its record are on disk
//   before_commit      the target is about to be written
//   after_commit       the target holds the new content, flushed
// clang-format off
#define ZIBEL_SEAM_POINTS(X)                                                          \
  X(open) X(create) X(link) X(look) X(read_link) X(read) X(write) X(copy) X(clone)    \
  X(preallocate) X(truncate) X(flush) X(close) X(remove) X(lock) X(control) X(wait)   \
  X(recovered) X(temporary_durable) X(before_commit) X(after_commit)
// clang-format on

#define ZIBEL_SEAM_ENUMERATOR(name) name,
enum class Point { ZIBEL_SEAM_POINTS(ZIBEL_SEAM_ENUMERATOR) };
#undef ZIBEL_SEAM_ENUMERATOR

#define ZIBEL_SEAM_NAME(name) #name,
inline constexpr std::string_view kPointNames[] = {ZIBEL_SEAM_POINTS(ZIBEL_SEAM_NAME)};
#undef ZIBEL_SEAM_NAME

inline constexpr int kPointCount = static_cast<int>(std::size(kPointNames));

// The first of the points that are moments rather than system calls.
inline constexpr Point kFirstMoment = Point::recovered;

enum class Effect {
  none,
  fail,            // the call fails with the error `value` and does nothing
  interrupt,       // the call is interrupted before it does anything (EINTR)
  short_transfer,  // a read, write or copy moves at most one byte
  zero_transfer,   // the call moves nothing and returns 0, as at the end of a file
  raise_signal,    // the signal `value` is raised (Windows: an interrupt), then the call is made
  kill,            // the process ends at once, as SIGKILL or TerminateProcess end it
  run_hook,        // the test's hook runs, then the call is made
};

// Their names, in the order of the enumeration.
inline constexpr std::string_view kEffectNames[] = {"none", "fail",   "interrupt", "short",
                                                    "zero", "signal", "kill",      "hook"};

struct Fault {
  Point point;
  unsigned count;  // 1 for the first call of that kind (or the first time at that moment)
  Effect effect;
  int value;
};

// One system call, as the seam sees it: its kind, the file it is made on
// (a descriptor or a handle, -1 for none), where and how much, the name it
// takes, and the bytes a write gives.
struct Call {
  Point point;
  std::intptr_t file = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  const char* name = nullptr;
  const char* bytes = nullptr;
  std::intptr_t other = -1;  // the second file of a copy, or the directory of a name
};

// What the backend is to do with a call that enter() let through.
struct Decision {
  bool fail = false;                 // fail it without making it, with `error`
  int error = 0;                     // the error of a failed call, in the system's own numbers
  bool interrupt = false;            // POSIX: fail it with EINTR (it is then made again)
  std::uint64_t limit = UINT64_MAX;  // the most bytes it may transfer
};

// Counts the call and applies the armed fault, if it is the call's turn: a
// signal, a kill or a hook happen here, before the call is made.
Decision enter(const Call& call);

// After the call: `result` is what it returned (a count, a descriptor, 0 or
// -1), `error` its error when it failed.
void leave(const Call& call, std::int64_t result, int error);

// The engine has reached a moment of the edit.
void reach(Point moment);

// Why the last failed call failed: its kind and its error (errno, or
// GetLastError() on Windows), kept as SQLite keeps lastErrno.
struct Failure {
  Point point = Point::open;
  int error = 0;
};
Failure last_failure();

// For test builds only.
void arm(const Fault& fault, void (*hook)() = nullptr);
unsigned count(Point point);
// Sees every call after it was made, in order.
void observe(void (*observer)(const Call& call, std::int64_t result, int error));

// Provided by the process backend: what the effects raise_signal and kill do.
void raise_interrupt(int signal_number);
[[noreturn]] void end_now();

}  // namespace zibel::platform::seam
