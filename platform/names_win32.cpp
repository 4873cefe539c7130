// Names on Windows.
#include <windows.h>

#include <cstring>

#include "platform/names.h"
#include "platform/win32.h"
#include "platform/wtf8.h"

namespace zibel::platform {
namespace {

// The longest name one directory entry holds, in UTF-16 units.
constexpr std::size_t kMaxNameLength = 255;

}  // namespace

bool surely_missing(const char* path) {
  const wchar_t* name = nullptr;
  switch (win32::to_system_path(path, name)) {
    case win32::Named::nothing:
      return true;
    case win32::Named::device:  // there, but never looked at: open_for_update refuses it
      return false;
    case win32::Named::file:
      break;
  }
  // Looked at by an open for no access, which carries the flags of every
  // open (win32::kIdentifyOnly): a pipe a link leads to learns nothing more.
  const HANDLE looked = win32::open_to_look(name, FILE_FLAG_OPEN_REPARSE_POINT, path);
  if (looked != INVALID_HANDLE_VALUE) {
    (void)::CloseHandle(looked);  // only looked at
    return false;
  }
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
      return true;
    default:
      return false;
  }
}

// 255 UTF-16 units on NTFS; and 255 bytes of UTF-8, which a share served by
// Linux (and Wine's own drives) holds at most.
bool name_fits(std::string_view name, std::string_view ending) {
  return wtf8::utf16_units(name) + wtf8::utf16_units(ending) <= kMaxNameLength &&
         name.size() + ending.size() <= kMaxNameLength;
}

std::size_t last_name_start(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string_view::npos ? 0 : separator + 1;
}

// The system follows a link when the file is opened, so the path is kept as it
// is and the temporary files go beside the link; a link at its end is followed
// here too, to see that the path still leads to the file opened.
bool place_temporary_files(const char* path, File target, char* beside, std::size_t capacity) {
  const std::size_t length = std::strlen(path);
  if (length >= capacity) return false;
  std::memcpy(beside, path, length + 1);
  const wchar_t* name = nullptr;
  if (win32::to_system_path(path, name) != win32::Named::file) return false;
  const HANDLE named = win32::open_to_look(name, 0);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  const bool same = win32::identity_of(named, a) &&
                    win32::identity_of(win32::handle_of(target), b) && win32::same_file(a, b);
  (void)::CloseHandle(named);  // opened to be looked at only
  return same;
}

}  // namespace zibel::platform
