#include "platform/win32.h"

#include <cstring>
#include <cwchar>
#include <iterator>
#include <string_view>

#include "platform/wtf8.h"

namespace zibel::platform::win32 {
namespace {

// The longest path the system takes, in UTF-16 units with its NUL, and room
// before it for the \\?\UNC\ that turns a long path into one it takes.
constexpr std::size_t kMaxPathUnits = 32768;
constexpr std::size_t kPrefixRoom = 8;

// A path as it was given, in UTF-16, and as the file calls get it. The tool's
// paths are at most one argument field long, fewer units than bytes. Used by
// the main thread only; the interrupt handler needs no path.
wchar_t given_path[4096];
wchar_t system_path[kPrefixRoom + kMaxPathUnits];
// A directory's path joined with a name, in WTF-8.
char joined_path[8192];

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

}  // namespace

Named to_system_path(const char* path, const wchar_t*& name) {
  std::size_t units = 0;
  if (!wtf8::to_utf16(std::string_view(path), given_path, std::size(given_path), units) ||
      units == 0) {
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
  // Device names come back as \\.\NUL, \\.\COM1, ...; a current directory that
  // is itself in the \\?\ form gives paths in that form.
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

Named to_system_path(const Directory& directory, const char* name, const wchar_t*& system_name) {
  const std::size_t name_length = std::strlen(name);
  if (directory.path.size() + name_length >= sizeof joined_path) return Named::nothing;
  directory.path.copy(joined_path, directory.path.size());
  std::memcpy(joined_path + directory.path.size(), name, name_length + 1);
  return to_system_path(joined_path, system_name);
}

HANDLE open_to_look(const wchar_t* name, DWORD flags, const char* given) {
  const seam::Call call{seam::Point::look, -1, 0, 0, given};
  if (!may_call(call)) return INVALID_HANDLE_VALUE;
  HANDLE handle =
      ::CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | kIdentifyOnly | flags, nullptr);
  if (handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_DISK) {
    (void)::CloseHandle(handle);  // nothing was asked of it
    handle = INVALID_HANDLE_VALUE;
    ::SetLastError(ERROR_BAD_FILE_TYPE);
  }
  done(call, handle != INVALID_HANDLE_VALUE);
  return handle;
}

bool names_stream(const wchar_t* system_path) {
  const wchar_t* const last_name = std::wcsrchr(system_path, L'\\');
  return std::wcschr(last_name != nullptr ? last_name : system_path, L':') != nullptr;
}

bool identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& identity) {
  const seam::Call call{seam::Point::look, reinterpret_cast<std::intptr_t>(handle)};
  return may_call(call) && done(call, ::GetFileInformationByHandle(handle, &identity) != 0);
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool may_call(const seam::Call& call, DWORD* limit) {
  const seam::Decision decision = seam::enter(call);
  if (decision.fail) {
    ::SetLastError(ERROR_GEN_FAILURE);
    seam::leave(call, -1, ERROR_GEN_FAILURE);
    return false;
  }
  if (limit != nullptr && decision.limit < *limit) *limit = static_cast<DWORD>(decision.limit);
  return true;
}

bool done(const seam::Call& call, bool succeeded, std::int64_t result) {
  const DWORD error = succeeded ? 0 : ::GetLastError();
  seam::leave(call, succeeded ? result : -1, static_cast<int>(error));
  ::SetLastError(error);
  return succeeded;
}

std::size_t holes_in(std::uint64_t& from, std::uint64_t end,
                     const FILE_ALLOCATED_RANGE_BUFFER* allocated, std::size_t count, bool more,
                     Range* holes) {
  std::size_t found = 0;
  for (std::size_t i = 0; i < count && from < end; ++i) {
    const auto start = static_cast<std::uint64_t>(allocated[i].FileOffset.QuadPart);
    const std::uint64_t stop = start + static_cast<std::uint64_t>(allocated[i].Length.QuadPart);
    if (start > from) holes[found++] = {from, start < end ? start : end};
    if (stop > from) from = stop < end ? stop : end;
  }
  if (!more && from < end) holes[found++] = {from, end};
  if (!more) from = end;
  return found;
}

}  // namespace zibel::platform::win32
