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

// The longest name one folder entry holds.
constexpr std::size_t kMaxNameLength = 255;

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
    case faults::Effect::zero_transfer:
      if (limit != nullptr) *limit = 0;
      return false;
    case faults::Effect::raise_signal:  // Windows has one kind of interrupt
      interrupt();
      return false;
    case faults::Effect::interrupt:  // Win32 file calls are not interrupted
    case faults::Effect::run_hook:   // the hook has run already
    case faults::Effect::none:
      return false;
  }
  return false;
}

DWORD at_most(std::uint64_t length, DWORD limit) {
  return length < limit ? static_cast<DWORD>(length) : limit;
}

// The identity of an open file: its volume and its number there.
bool identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& identity) {
  return ::GetFileInformationByHandle(handle, &identity) != 0;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// True when `path`, without following a link at its end, names the file open
// as `held`. Looking opens the entry for no access at all, which has no
// effect on it.
bool path_names(const char* path, HANDLE held) {
  const HANDLE named = ::CreateFileA(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  const bool same = identity_of(named, a) && identity_of(held, b) && same_file(a, b);
  (void)::CloseHandle(named);  // opened to be looked at only
  return same;
}

bool file_position(HANDLE handle, LARGE_INTEGER& position) {
  return ::SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) != 0;
}

// The temporary file to delete when an interrupt ends the run (or null) and
// its handle; how many holds are alive, and whether an interrupt arrived
// meanwhile. The lock makes an interrupt and the start of the commit happen
// one after the other.
SRWLOCK interrupt_guard = SRWLOCK_INIT;
const char* interrupted_cleanup = nullptr;
HANDLE interrupted_cleanup_handle = INVALID_HANDLE_VALUE;
int hold_depth = 0;
bool interrupt_pending = false;

// What Ctrl-C (or closing the console) does: before the commit it deletes the
// temporary file and ends the process as the default handler would; during the
// commit it is noted, and release_interrupts ends the process.
void interrupt() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  if (hold_depth > 0) {
    interrupt_pending = true;
    ::ReleaseSRWLockExclusive(&interrupt_guard);
    return;
  }
  // The handle is closed first, so that the name goes at once and not only
  // once the process has ended.
  if (interrupted_cleanup != nullptr &&
      path_names(interrupted_cleanup, interrupted_cleanup_handle)) {
    (void)::CloseHandle(interrupted_cleanup_handle);
    (void)::DeleteFileA(interrupted_cleanup);
  }
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

void remove_on_interrupt(const char* path, File file) {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  interrupted_cleanup = path;
  interrupted_cleanup_handle = handle_of(file);
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

void forget_on_interrupt() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  interrupted_cleanup = nullptr;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

InterruptHold::InterruptHold() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  ++hold_depth;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

InterruptHold::~InterruptHold() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  const bool pending = --hold_depth == 0 && interrupt_pending;
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

Existence look_up(const char* path) {
  if (::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return Existence::exists;
  switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:  // wildcards, say: no file can have that name
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:
    case ERROR_FILENAME_EXCED_RANGE:
      return Existence::missing;
    default:
      return Existence::unknown;
  }
}

bool open_for_update(const char* path, File& file) {
  // Only a file on disk is opened at all: a folder or a device is refused by
  // its attributes, and a console, pipe or port by its type once open.
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  if (injected_failure(Operation::open)) return false;
  const HANDLE handle =
      ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION identity{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !identity_of(handle, identity) ||
      (identity.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    (void)::CloseHandle(handle);  // nothing was read or written through it
    return false;
  }
  file = file_of(handle);
  return true;
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

bool name_fits(std::string_view name, std::string_view ending) {
  return name.size() + ending.size() <= kMaxNameLength;
}

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

bool resolve_links(const char* path, char* resolved, std::size_t capacity) {
  const std::size_t length = std::strlen(path);
  if (length >= capacity) return false;
  std::memcpy(resolved, path, length + 1);
  return true;
}

bool names_file(const char* path, File file) {
  return path_names(path, handle_of(file));
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

bool reserve(File file, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return true;
  if (injected_failure(Operation::reserve)) return false;
  FILE_ALLOCATION_INFO room{};
  room.AllocationSize.QuadPart = static_cast<LONGLONG>(offset + length);
  if (::SetFileInformationByHandle(handle_of(file), FileAllocationInfo, &room, sizeof room)) {
    return true;
  }
  // A file system that cannot set room aside is written as it comes.
  const DWORD error = ::GetLastError();
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

bool length_of(File file, std::uint64_t& length) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle_of(file), &size)) return false;
  length = static_cast<std::uint64_t>(size.QuadPart);
  return true;
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

bool remove_file(const char* path, File file) {
  // A virus scanner may hold a new file open for a moment; try a few times.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (injected_failure(Operation::remove)) return false;
    // Looked at right before the name goes: another program may have put a
    // file of its own there.
    if (!path_names(path, handle_of(file))) return false;
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

bool seek(File file, std::uint64_t offset) {
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset);
  return ::SetFilePointerEx(handle_of(file), position, nullptr, FILE_BEGIN) != 0;
}

}  // namespace zibel::platform
