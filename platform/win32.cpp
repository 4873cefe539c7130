// The platform operations on Windows, through the Win32 file calls.
//
// Every transfer is continued until it is complete or fails. Files are opened
// with the sharing of the C runtime's streams (others may read and write), and
// the temporary file may also be deleted while open, so that an interrupt can
// remove it.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/faults.h"
#include "platform/platform.h"

// The C runtime must not expand wildcards in the arguments: "*.txt" names a
// file called "*.txt".
extern "C" {
int _dowildcard = 0;
}

namespace zibel::platform {
namespace {

using faults::Operation;

constexpr std::size_t kCopyChunkSize = std::size_t{128} << 10;
char copy_buffer[kCopyChunkSize];

// The largest transfer one ReadFile or WriteFile call is asked for.
constexpr DWORD kMaxTransfer = DWORD{1} << 30;

// Only other runs of this tool ask for this byte, far past the end of any
// file, so only they wait for one another; other programs are not held up.
constexpr DWORD kLockOffsetLow = 0xFFFFFFF0u;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFFu;

HANDLE handle_of(File file) {
  return reinterpret_cast<HANDLE>(file.handle);
}

File file_of(HANDLE handle) {
  return File{reinterpret_cast<std::intptr_t>(handle)};
}

void interrupt();

// Asks an armed test fault about this call: true when the call must fail
// without being made. A short transfer lowers `limit` to one byte.
bool injected_failure(Operation operation, DWORD* limit = nullptr) {
  const faults::Hit hit = faults::next(operation);
  switch (hit.effect) {
    case faults::Effect::fail:
      ::SetLastError(ERROR_GEN_FAILURE);
      return true;
    case faults::Effect::short_transfer:
      if (limit != nullptr) *limit = 1;
      return false;
    case faults::Effect::raise_signal:  // Windows has one kind of interrupt
      interrupt();
      return false;
    case faults::Effect::interrupt:  // Win32 file calls are not interrupted
    case faults::Effect::none:
      return false;
  }
  return false;
}

DWORD at_most(std::uint64_t length, DWORD limit) {
  return length < limit ? static_cast<DWORD>(length) : limit;
}

// Opens an existing file on disk; a device, pipe or console is refused, and
// so is a directory, which CreateFileA cannot open this way.
bool open_existing(const char* path, DWORD access, File& file) {
  if (injected_failure(Operation::open)) return false;
  const HANDLE handle = ::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    (void)::CloseHandle(handle);  // nothing was read or written through it
    return false;
  }
  file = file_of(handle);
  return true;
}

bool file_position(HANDLE handle, LARGE_INTEGER& position) {
  return ::SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) != 0;
}

// The temporary file to delete when an interrupt ends the run, or null;
// whether interrupts are held back, and whether one arrived meanwhile. The lock
// makes an interrupt and the start of the commit happen one after the other.
SRWLOCK interrupt_guard = SRWLOCK_INIT;
const char* interrupted_cleanup = nullptr;
bool interrupts_held = false;
bool interrupt_pending = false;

// What Ctrl-C (or closing the console) does: before the commit it deletes the
// temporary file and ends the process as the default handler would; during the
// commit it is noted, and release_interrupts ends the process.
void interrupt() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  if (interrupts_held) {
    interrupt_pending = true;
    ::ReleaseSRWLockExclusive(&interrupt_guard);
    return;
  }
  if (interrupted_cleanup != nullptr) (void)::DeleteFileA(interrupted_cleanup);
  ::ExitProcess(STATUS_CONTROL_C_EXIT);  // with the lock held: the commit cannot begin now
}

// Runs on a thread of its own. Returning would let the system end the process
// at once, so while the commit runs it waits for release_interrupts instead.
BOOL WINAPI on_console_event(DWORD) {
  interrupt();
  for (;;) ::Sleep(INFINITE);
}

}  // namespace

void start_process() {
  (void)::SetConsoleCtrlHandler(on_console_event, TRUE);
  // Text mode: each "\n" reaches the console as CR LF.
  (void)::_setmode(1, _O_TEXT);
}

void remove_on_interrupt(const char* path) {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  interrupted_cleanup = path;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

void hold_interrupts() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  interrupts_held = true;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

void release_interrupts() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  interrupts_held = false;
  const bool pending = interrupt_pending;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
  if (pending) interrupt();  // takes effect now, as it would have on arrival
}

bool print(const char* text, std::size_t length) {
  while (length > 0) {
    const unsigned piece = length < kMaxTransfer ? static_cast<unsigned>(length) : kMaxTransfer;
    const int count = ::_write(1, text, piece);
    if (count <= 0) return false;
    text += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

bool path_exists(const char* path) {
  return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool open_for_update(const char* path, File& file) {
  return open_existing(path, GENERIC_READ | GENERIC_WRITE, file);
}

bool open_for_reading(const char* path, File& file) {
  return open_existing(path, GENERIC_READ, file);
}

CreateResult create_new(const char* path, File& file) {
  if (injected_failure(Operation::create)) return CreateResult::failed;
  const HANDLE handle =
      ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A directory of that name gives ERROR_ACCESS_DENIED; it is taken too.
    const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                       ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    return taken ? CreateResult::name_taken : CreateResult::failed;
  }
  file = file_of(handle);
  return CreateResult::created;
}

std::ptrdiff_t read_some(File file, char* into, std::size_t capacity) {
  DWORD limit = kMaxTransfer;
  if (injected_failure(Operation::read, &limit)) return -1;
  DWORD count = 0;
  if (!::ReadFile(handle_of(file), into, at_most(capacity, limit), &count, nullptr)) return -1;
  return static_cast<std::ptrdiff_t>(count);
}

bool write_all(File file, const char* bytes, std::size_t length) {
  while (length > 0) {
    DWORD limit = kMaxTransfer;
    if (injected_failure(Operation::write, &limit)) return false;
    DWORD count = 0;
    if (!::WriteFile(handle_of(file), bytes, at_most(length, limit), &count, nullptr) ||
        count == 0) {
      return false;
    }
    bytes += count;
    length -= count;
  }
  return true;
}

// Reads `from` at explicit offsets and puts its position back afterwards, as
// the contract asks.
bool copy_bytes(File from, std::uint64_t from_offset, File to, std::uint64_t length) {
  LARGE_INTEGER saved{};
  if (!file_position(handle_of(from), saved)) return false;
  std::uint64_t offset = from_offset;
  bool copied = true;
  while (copied && length > 0) {
    DWORD limit = kCopyChunkSize;
    if (injected_failure(Operation::copy, &limit)) {
      copied = false;
      break;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    copied = ::ReadFile(handle_of(from), copy_buffer, at_most(length, limit), &count, &at) &&
             count > 0 && write_all(to, copy_buffer, count);
    offset += count;
    length -= count;
  }
  return ::SetFilePointerEx(handle_of(from), saved, nullptr, FILE_BEGIN) && copied;
}

bool set_length(File file, std::uint64_t length) {
  if (injected_failure(Operation::truncate)) return false;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return ::SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool flush_to_disk(File file) {
  if (injected_failure(Operation::flush)) return false;
  return ::FlushFileBuffers(handle_of(file)) != 0;
}

bool flush_name_to_disk(const char*) {
  // NTFS journals its folders: a name is durable once the file's data is.
  return true;
}

bool close(File file) {
  const bool failed = injected_failure(Operation::close);
  return ::CloseHandle(handle_of(file)) != 0 && !failed;
}

bool remove_file(const char* path) {
  // A virus scanner may hold a new file open for a moment; try a few times.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (injected_failure(Operation::remove)) return false;
    if (::DeleteFileA(path)) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
    ::Sleep(100);
  }
  return false;
}

bool lock_for_edit(File file) {
  if (injected_failure(Operation::lock)) return false;
  OVERLAPPED at{};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  if (::LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) return true;
  // A file system without locks can still be edited, only not guarded.
  return ::GetLastError() == ERROR_NOT_SUPPORTED || ::GetLastError() == ERROR_INVALID_FUNCTION;
}

bool rewind(File file) {
  return ::SetFilePointerEx(handle_of(file), LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0;
}

}  // namespace zibel::platform
