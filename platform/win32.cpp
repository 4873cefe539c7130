// The platform operations on Windows, through the wide Win32 file calls.
//
// Paths come as UTF-8 and go to the system as UTF-16; a long one is given in
// its \\?\ form, which has no MAX_PATH limit. Every transfer is continued until
// it is complete or fails. Files are opened with the sharing of the C
// runtime's streams (others may read and write), and the temporary file may
// also be deleted while open, so that an interrupt can remove it.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "platform/faults.h"
#include "platform/platform.h"

namespace zibel::platform {
namespace {

using faults::Operation;

constexpr std::size_t kCopyChunkSize = std::size_t{128} << 10;
char copy_buffer[kCopyChunkSize];

// The longest name one folder entry holds, in UTF-16 units.
constexpr std::size_t kMaxNameLength = 255;

// The longest path the system takes, in UTF-16 units with its NUL, and room
// before it for the \\?\UNC\ that turns a long path into one it takes.
constexpr std::size_t kMaxPathUnits = 32768;
constexpr std::size_t kPrefixRoom = 8;

// A path as it was given, in UTF-16, and as the file calls get it. The tool's
// paths are at most one argument field long, fewer units than bytes. Used by
// the main thread only; the interrupt handler needs no path.
wchar_t given_path[4096];
wchar_t system_path[kPrefixRoom + kMaxPathUnits];

// A text that names a path, on its way to standard output: in UTF-16, with
// CR LF for a console, and in the console's code page.
constexpr std::size_t kMaxPrintedUnits = 4096;
wchar_t printed_units[kMaxPrintedUnits];
wchar_t console_units[2 * kMaxPrintedUnits];
char printed_bytes[4 * kMaxPrintedUnits];

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

// ---------------------------------------------------------------------------
// Paths.

// Decodes UTF-8, a lone surrogate encoded as a code point included, into
// NUL-terminated UTF-16. False for bytes that are not such text, or when
// `capacity` units do not hold it.
bool to_utf16(const char* text, std::size_t length, wchar_t* into, std::size_t capacity,
              std::size_t& units) {
  static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  units = 0;
  for (std::size_t i = 0; i < length;) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t c = lead;
    if (lead >= 0xF0 && lead < 0xF5) {
      extra = 3;
      c = lead & 0x07u;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      extra = 2;
      c = lead & 0x0Fu;
    } else if (lead >= 0xC2 && lead < 0xE0) {
      extra = 1;
      c = lead & 0x1Fu;
    } else if (lead >= 0x80) {
      return false;
    }
    if (length - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3Fu);
    }
    if (c < kLeast[extra] || c > 0x10FFFF) return false;
    i += extra + 1;
    if (units + (c >= 0x10000 ? 2 : 1) >= capacity) return false;
    if (c >= 0x10000) {
      into[units++] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      into[units++] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      into[units++] = static_cast<wchar_t>(c);
    }
  }
  into[units] = L'\0';
  return true;
}

bool starts_with(const wchar_t* text, const wchar_t* start) {
  return std::wcsncmp(text, start, std::wcslen(start)) == 0;
}

bool starts_with_folded(const wchar_t* text, const wchar_t* start) {
  return ::_wcsnicmp(text, start, std::wcslen(start)) == 0;
}

// A UNC path (without its leading "\\") whose share is a pipe or a mailslot
// of another machine: looking at one already connects to it.
bool names_remote_device(const wchar_t* server_and_share) {
  const wchar_t* share = std::wcschr(server_and_share, L'\\');
  return share != nullptr &&
         (starts_with_folded(share, L"\\pipe\\") || starts_with_folded(share, L"\\mailslot\\"));
}

// After "\\?\": a drive ("C:\..."), a share ("UNC\server\share\...") or a volume
// ("Volume{...}\...") holds files; anything else is a device.
bool names_file_system(const wchar_t* rest) {
  if (((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z')) &&
      rest[1] == L':' && rest[2] == L'\\') {
    return true;
  }
  if (starts_with_folded(rest, L"UNC\\")) return !names_remote_device(rest + 4);
  // A volume's own name (\\?\Volume{...}) is its device; a path in it goes on.
  if (!starts_with_folded(rest, L"Volume{")) return false;
  const wchar_t* close = std::wcschr(rest, L'}');
  return close != nullptr && close[1] == L'\\';
}

enum class Named {
  file,     // a path in the file system
  device,   // a device (NUL, CON, COM1, \\.\...): never looked at or opened
  nothing,  // no file can have this name
};

// Turns a path into the form the wide file calls take, in system_path. A
// relative path, "." and ".." are resolved against the current folder first,
// as the system would; a path that is then MAX_PATH units long or longer gets
// the \\?\ form (\\?\UNC\server\share\... for a share), which is taken as it is.
Named to_system_path(const char* path, const wchar_t*& name) {
  std::size_t units = 0;
  if (!to_utf16(path, std::strlen(path), given_path, std::size(given_path), units) || units == 0) {
    return Named::nothing;
  }
  if (starts_with(given_path, L"\\\\?\\")) {
    name = given_path;
    return names_file_system(given_path + 4) ? Named::file : Named::device;
  }
  wchar_t* const full = system_path + kPrefixRoom;
  const DWORD length = ::GetFullPathNameW(given_path, kMaxPathUnits, full, nullptr);
  if (length == 0 || length >= kMaxPathUnits) return Named::nothing;
  name = full;
  // Device names come back as \\.\NUL, \\.\COM1, ...; a current folder that is
  // itself in the \\?\ form gives paths in that form.
  if (starts_with(full, L"\\\\?\\")) {
    return names_file_system(full + 4) ? Named::file : Named::device;
  }
  if (starts_with(full, L"\\\\.\\")) return Named::device;
  const bool unc = starts_with(full, L"\\\\");
  if (unc && names_remote_device(full + 2)) return Named::device;
  if (length < MAX_PATH) return Named::file;
  if (unc) {
    std::memcpy(full - 6, L"\\\\?\\UNC", 7 * sizeof(wchar_t));  // over the first '\'
    name = full - 6;
  } else {
    std::memcpy(full - 4, L"\\\\?\\", 4 * sizeof(wchar_t));
    name = full - 4;
  }
  return Named::file;
}

// How many UTF-16 units a UTF-8 text takes: one for each character, two for
// one past U+FFFF (a four-byte sequence).
std::size_t utf16_units(std::string_view text) {
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

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

// Opens `name` for no access at all, which has no effect on a file: for
// looking at it only. With FILE_FLAG_OPEN_REPARSE_POINT in `flags` the entry
// itself is opened, a link at its end included; without it, what it leads to.
HANDLE open_to_look(const wchar_t* name, DWORD flags) {
  return ::CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// Has the open file deleted when its last handle closes: the file itself,
// whatever name it has by then, and never another that took its name.
bool delete_on_close(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// A security descriptor that gives the current user alone access to a new
// file: a DACL with one entry, protected so that no entry is inherited from
// the folder. Built in fixed storage for each file made.
// The user may read, write, rename and delete it.
constexpr DWORD kPrivateAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
SECURITY_DESCRIPTOR private_descriptor;
DWORD private_acl[32];
DWORD token_user[32];  // a TOKEN_USER and the SID it points to

bool make_private(SECURITY_ATTRIBUTES& attributes) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  const bool known = ::GetTokenInformation(token, TokenUser, token_user, sizeof token_user, &size);
  (void)::CloseHandle(token);  // only read
  if (!known) return false;
  const PSID user = reinterpret_cast<TOKEN_USER*>(token_user)->User.Sid;
  const auto acl = reinterpret_cast<PACL>(private_acl);
  const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(user);
  if (acl_size > sizeof private_acl || !::InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !::AddAccessAllowedAce(acl, ACL_REVISION, kPrivateAccess, user) ||
      !::InitializeSecurityDescriptor(&private_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&private_descriptor, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(&private_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return false;
  }
  attributes = SECURITY_ATTRIBUTES{sizeof attributes, &private_descriptor, FALSE};
  return true;
}

bool file_position(HANDLE handle, LARGE_INTEGER& position) {
  return ::SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) != 0;
}

// The temporary file to delete when an interrupt ends the run (or
// INVALID_HANDLE_VALUE); how many holds are alive, and whether an interrupt
// arrived meanwhile. The lock makes an interrupt and the start of the commit
// happen one after the other.
SRWLOCK interrupt_guard = SRWLOCK_INIT;
HANDLE interrupted_cleanup = INVALID_HANDLE_VALUE;
int hold_depth = 0;
bool interrupt_pending = false;
// Whether the main thread is writing to standard output, which may wait.
bool printing = false;

// What Ctrl-C (or closing the console) does: before the commit it deletes the
// temporary file and ends the process as the default handler would; during the
// commit it is noted, and the end of the outermost hold ends the process.
//
// Closing the console window, logging off and shutting down give the process
// a few seconds, then the system ends it whatever this does. Once the commit
// has begun the temporary file is forgotten here: when the process is ended
// in mid-commit, it stays, holding the whole new content.
void interrupt() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  // While the outcome is printed the commit is over: should the output not
  // take the text (a pipe nobody reads), an interrupt still ends the run.
  if (hold_depth > 0 && !printing) {
    interrupt_pending = true;
    ::ReleaseSRWLockExclusive(&interrupt_guard);
    return;
  }
  // The handle is closed here, so that the name goes at once and not only
  // once the process has ended.
  if (interrupted_cleanup != INVALID_HANDLE_VALUE && delete_on_close(interrupted_cleanup)) {
    (void)::CloseHandle(interrupted_cleanup);
  }
  ::ExitProcess(STATUS_CONTROL_C_EXIT);  // with the lock held: the commit cannot begin now
}

// Runs on a thread of its own. Returning would let the system end the process
// at once, so while the commit runs it waits for the hold to end instead.
BOOL WINAPI on_console_event(DWORD) {
  interrupt();
  for (;;) ::Sleep(INFINITE);
}

}  // namespace

void start_process() {
  // A 32-bit program on 64-bit Windows has its calls into the system folder
  // sent to SysWOW64, another file of the same name. Every file call is made on
  // this thread, and no library is loaded after this point, so the file the
  // user named is the file edited. Elsewhere the call fails, harmlessly.
  PVOID redirection = nullptr;
  (void)::Wow64DisableWow64FsRedirection(&redirection);
  (void)::SetConsoleCtrlHandler(on_console_event, TRUE);
  // Text mode: each "\n" reaches the console as CR LF.
  (void)::_setmode(1, _O_TEXT);
}

// The file is deleted through its handle; the name is not needed.
void remove_on_interrupt(const char*, File file) {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  interrupted_cleanup = handle_of(file);
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

void forget_on_interrupt() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  interrupted_cleanup = INVALID_HANDLE_VALUE;
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

// Marks the time the main thread writes to standard output, for interrupt().
class Printing {
 public:
  Printing() { set(true); }
  ~Printing() { set(false); }
  Printing(const Printing&) = delete;
  Printing& operator=(const Printing&) = delete;

 private:
  static void set(bool now) {
    ::AcquireSRWLockExclusive(&interrupt_guard);
    printing = now;
    ::ReleaseSRWLockExclusive(&interrupt_guard);
  }
};

bool print(const char* text, std::size_t length) {
  const Printing printing_now;
  while (length > 0) {
    const unsigned piece = length < kMaxTransfer ? static_cast<unsigned>(length) : kMaxTransfer;
    const int count = ::_write(1, text, piece);
    if (count <= 0) return false;
    text += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

bool print_with_path(const char* text, std::size_t length) {
  std::size_t units = 0;
  if (!to_utf16(text, length, printed_units, kMaxPrintedUnits, units)) return print(text, length);
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode)) {
    // A console shows every character: it is given UTF-16, each "\n" as CR LF.
    std::size_t count = 0;
    for (std::size_t i = 0; i < units; ++i) {
      if (printed_units[i] == L'\n') console_units[count++] = L'\r';
      console_units[count++] = printed_units[i];
    }
    const Printing printing_now;
    for (const wchar_t* rest = console_units; count > 0;) {
      DWORD written = 0;
      const DWORD piece = count < kMaxTransfer ? static_cast<DWORD>(count) : kMaxTransfer;
      if (!::WriteConsoleW(out, rest, piece, &written, nullptr) || written == 0) return false;
      rest += written;
      count -= written;
    }
    return true;
  }
  // Elsewhere the text is bytes of the console's code page, as every other
  // message is. A code page that takes no flags (UTF-8 among them) is given
  // none.
  UINT code_page = ::GetConsoleOutputCP();
  if (code_page == 0) code_page = CP_ACP;
  const int count = static_cast<int>(units);
  const int capacity = static_cast<int>(sizeof printed_bytes);
  int bytes = ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, printed_units, count,
                                    printed_bytes, capacity, "?", nullptr);
  if (bytes <= 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {
    bytes = ::WideCharToMultiByte(code_page, 0, printed_units, count, printed_bytes, capacity,
                                  nullptr, nullptr);
  }
  return bytes > 0 && print(printed_bytes, static_cast<std::size_t>(bytes));
}

Existence look_up(const char* path) {
  const wchar_t* name = nullptr;
  switch (to_system_path(path, name)) {
    case Named::nothing:
      return Existence::missing;
    case Named::device:  // there, but never looked at: open_for_update refuses it
      return Existence::exists;
    case Named::file:
      break;
  }
  if (::GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES) return Existence::exists;
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
  // Only a file on disk is opened at all: a device is refused by its name, a
  // folder by its attributes, and a console, pipe or port by its type once
  // open. The entry is looked at without following a link at its end; when
  // it is no link, the file opened must be the one looked at.
  const wchar_t* name = nullptr;
  if (to_system_path(path, name) != Named::file) return false;
  const DWORD attributes = ::GetFileAttributesW(name);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  const HANDLE looked = open_to_look(name, FILE_FLAG_OPEN_REPARSE_POINT);
  if (looked == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION seen{};
  FILE_ATTRIBUTE_TAG_INFO tag{};
  const bool known =
      identity_of(looked, seen) &&
      ::GetFileInformationByHandleEx(looked, FileAttributeTagInfo, &tag, sizeof tag) != 0;
  (void)::CloseHandle(looked);  // opened to be looked at only
  if (!known || (seen.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  // A link (a symbolic link, a junction) leads to the file that is edited;
  // other reparse points (a file kept in the cloud, say) are that file.
  const bool link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                    IsReparseTagNameSurrogate(tag.ReparseTag);

  if (injected_failure(Operation::open)) return false;
  const HANDLE handle =
      ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION opened{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !identity_of(handle, opened) ||
      (opened.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      (!link && !same_file(seen, opened))) {
    (void)::CloseHandle(handle);  // nothing was read or written through it
    return false;
  }
  file = file_of(handle);
  return true;
}

CreateResult create_new(const char* path, File& file) {
  if (injected_failure(Operation::create)) return CreateResult::failed;
  const wchar_t* name = nullptr;
  SECURITY_ATTRIBUTES security{};
  if (to_system_path(path, name) != Named::file || !make_private(security)) {
    return CreateResult::failed;
  }
  // Open for deletion too, so that it can be deleted through this handle.
  const HANDLE handle = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE | DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, &security, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A directory of that name gives ERROR_ACCESS_DENIED; it is taken too, and
    // so is a name whose file is being deleted but held open by another
    // program (a virus scanner, say), which cannot even be looked at.
    const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                       ::GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES ||
                       (error == ERROR_ACCESS_DENIED && (::GetLastError() == ERROR_ACCESS_DENIED ||
                                                         ::GetLastError() == ERROR_DELETE_PENDING));
    return taken ? CreateResult::name_taken : CreateResult::failed;
  }
  file = file_of(handle);
  return CreateResult::created;
}

bool name_fits(std::string_view name, std::string_view ending) {
  return utf16_units(name) + utf16_units(ending) <= kMaxNameLength;
}

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

// A link is followed when the file is opened, but the path is kept as it is:
// the temporary file goes beside the link.
bool resolve_links(const char* path, char* resolved, std::size_t capacity) {
  const std::size_t length = std::strlen(path);
  if (length >= capacity) return false;
  std::memcpy(resolved, path, length + 1);
  return true;
}

// resolve_links leaves a link as it is here, so a link at the end of the path
// is followed: the path must still lead to the file opened.
bool names_file(const char* path, File file) {
  const wchar_t* name = nullptr;
  if (to_system_path(path, name) != Named::file) return false;
  const HANDLE named = open_to_look(name, 0);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  const bool same = identity_of(named, a) && identity_of(handle_of(file), b) && same_file(a, b);
  (void)::CloseHandle(named);  // opened to be looked at only
  return same;
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
  // Only room past the end is set aside: an allocation below the file's end
  // would cut the file. (NTFS marks files with holes as such; theirs is not.)
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle_of(file), &size)) return false;
  const std::uint64_t end = offset + length;
  if (end <= static_cast<std::uint64_t>(size.QuadPart)) return true;
  if (injected_failure(Operation::reserve)) return false;
  FILE_ALLOCATION_INFO room{};
  room.AllocationSize.QuadPart = static_cast<LONGLONG>(end);
  if (::SetFileInformationByHandle(handle_of(file), FileAllocationInfo, &room, sizeof room)) {
    return true;
  }
  // A file system that cannot set room aside is written as it comes.
  const DWORD error = ::GetLastError();
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

bool stamp_of(File file, FileStamp& stamp) {
  LARGE_INTEGER size{};
  FILE_BASIC_INFO times{};
  if (!::GetFileSizeEx(handle_of(file), &size) ||
      !::GetFileInformationByHandleEx(handle_of(file), FileBasicInfo, &times, sizeof times)) {
    return false;
  }
  stamp.length = static_cast<std::uint64_t>(size.QuadPart);
  stamp.written = times.LastWriteTime.QuadPart;
  stamp.changed = times.ChangeTime.QuadPart;
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

// The file is deleted through its handle, which names it whatever its name is
// by now: a file another program has put under its name is left alone. The
// name goes when the handle is closed.
bool remove_file(const char*, File file) {
  // A virus scanner may hold a new file mapped for a moment; try a few times.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (injected_failure(Operation::remove)) return false;
    if (delete_on_close(handle_of(file))) return true;
    if (::GetLastError() != ERROR_ACCESS_DENIED) return false;
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
