// For the Windows backends only: handles, the path forms the wide file calls
// take, a look at an open file, how a call passes through the test seam, and
// the decisions the backends take that Wine cannot show (the console's
// events, holes, streams), kept apart so that tests can ask them directly.
#pragma once

#include <windows.h>
//
#include <winioctl.h>

#include <cstddef>
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
// `given` is the path as the tool has it, for the test seam's record.
// Anything but a file or directory on disk (a pipe, a console, a device a link
// led to) is closed again before anything is asked of it: it fails with
// ERROR_BAD_FILE_TYPE.
HANDLE open_to_look(const wchar_t* name, DWORD flags, const char* given = nullptr);

// Whether the last name of a path in system form holds a ':', which names an
// alternate data stream of a file (notes.txt:s): another stream of the same
// file would hold its temporary copy, sharing its times and access list.
bool names_stream(const wchar_t* system_path);

// The identity of an open file: its volume and its number there.
bool identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& identity);
bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

// Asks the seam about a call: false when it must fail without being made (its
// error is then set, and the seam told). A short or empty transfer lowers
// `*limit`. Win32 file calls are not interrupted: that effect does nothing.
bool may_call(const seam::Call& call, DWORD* limit = nullptr);

// Tells the seam how the call went; returns `succeeded`.
bool done(const seam::Call& call, bool succeeded, std::int64_t result = 0);

// What the console handler does with an event: Ctrl-C, Ctrl-Break, closing
// the console and shutting down end the run; logging off, which a program
// started by a service receives whenever any user logs off, is ignored (the
// system ends a program of the user who logs off by itself); any other event
// is left to the next handler.
enum class ConsoleEvent { ends_run, ignored, not_ours };
ConsoleEvent console_event(DWORD event);

// Bytes from `start` up to `end`.
struct Range {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool operator==(const Range&) const = default;
};

// The holes in what is left of [from, end) that one answer of
// FSCTL_QUERY_ALLOCATED_RANGES shows: the stretches that none of its `count`
// allocated ranges (in order, as it gives them) covers, at most count + 1 of
// them, into `holes`; returns their number. `from` moves past what the answer
// told: to `end`, or, when the answer was cut short (`more`), to the end of
// its last range, where the next question starts.
std::size_t holes_in(std::uint64_t& from, std::uint64_t end,
                     const FILE_ALLOCATED_RANGE_BUFFER* allocated, std::size_t count, bool more,
                     Range* holes);

}  // namespace zibel::platform::win32
