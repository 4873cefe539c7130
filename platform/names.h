// Names: what a path names, how long a name may be, and where an edit's
// temporary files go. One source file per system (names_posix.cpp,
// names_win32.cpp).
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/files.h"

namespace zibel::platform {

// True only when nothing of that name exists: not when that cannot be told
// (a directory on the way that may not be searched). Any entry counts as
// existing, a directory or a symbolic link that leads nowhere included.
bool surely_missing(const char* path);

// Whether one name in a directory (no separators) may hold `name` followed by
// `ending`: 255 bytes on Linux; 255 UTF-16 units and 255 bytes on Windows.
bool name_fits(std::string_view name, std::string_view ending);

// Where the last name of a path starts: after its last separator ('/', and
// '\\' on Windows), 0 when it has none.
std::size_t last_name_start(std::string_view path);

// The path beside which the temporary files of an edit of the open `target`
// go, named `path` by the user, into `beside` (`capacity` bytes with the NUL):
// their directory is its directory part, their names are formed from its last
// name.
//
// That is the file the path leads to through its symbolic links, so that they
// lie on the target's file system, in a directory the user may write; false
// when a link cannot be read, the links go round, the result does not fit, or
// it is no longer the open target (a link changed meanwhile). On Windows, where
// the system follows links by itself, it is the path as given.
bool place_temporary_files(const char* path, File target, char* beside, std::size_t capacity);

}  // namespace zibel::platform
