// For the Windows backends only: handles, the path forms the wide file calls
// take, a look at an open file, and how a call passes through the test seam.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/files.h"
#include "platform/seam.h"

namespace zibel::platform::win32 {

inline HANDLE handle_of(File file) {
  return reinterpret_cast<HANDLE>(file.handle);
}

inline File file_of(HANDLE handle) {
  return File{reinterpret_cast<std::intptr_t>(handle)};
}

enum class Named {
  file,     // a path in the file system
  device,   // a device (NUL, CON, COM1, \\.\...): never looked at or opened
  nothing,  // no file can have this name
};

// Turns a WTF-8 path into the form the wide file calls take, in storage of
// this module that stays valid until the next call. A relative path, "." and
// ".." are resolved against the current directory first, as the system would;
// a path that is then MAX_PATH units long or longer gets the \\?\ form
// (\\?\UNC\server\share\... for a share), which is taken as it is.
Named to_system_path(const char* path, const wchar_t*& name);

// The same for `name` in `directory`.
Named to_system_path(const Directory& directory, const char* name, const wchar_t*& system_name);

// Every open of a path the user named, or of one formed from it, carries
// these flags: should a link lead it to a named pipe, its server may learn who
// runs the tool but cannot act as them (impersonate).
constexpr DWORD kIdentifyOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Opens `name` for no access at all, which has no effect on a file: for
// looking at it only. With FILE_FLAG_OPEN_REPARSE_POINT in `flags` the entry
// itself is opened, a link at its end included; without it, what it leads to.
// Anything but a file or directory on disk (a pipe, a console, a device a link
// led to) is closed again before anything is asked of it: it fails with
// ERROR_BAD_FILE_TYPE.
HANDLE open_to_look(const wchar_t* name, DWORD flags);

// The identity of an open file: its volume and its number there.
bool identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& identity);
bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

// Asks the seam about a call: false when it must fail without being made (its
// error is then set, and the seam told). A short or empty transfer lowers
// `*limit`. Win32 file calls are not interrupted: that effect does nothing.
bool may_call(const seam::Call& call, DWORD* limit = nullptr);

// Tells the seam how the call went; returns `succeeded`.
bool done(const seam::Call& call, bool succeeded, std::int64_t result = 0);

}  // namespace zibel::platform::win32
