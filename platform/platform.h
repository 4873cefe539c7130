// The operations the tool needs from the operating system. One source file per
// system implements them (posix.cpp, win32.cpp); CMake picks the one to build.
//
// Every operation reports failure through its result; none of them prints
// except print and print_with_path.
//
// Paths are byte strings. On Windows, whose names are UTF-16, they are UTF-8
// as the entry point took them from the wide command line (a lone surrogate,
// which NTFS allows in a name, is encoded like any other code point), so that
// every name comes through whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zibel::platform {

// An open file. The handle is the system's own (a descriptor, or a HANDLE).
struct File {
  std::intptr_t handle = -1;
};

// Sets up the process before the first other call. Standard input, output
// and error are open (on the null device when they were closed), so no file
// the tool opens can take their place. A signal that would end the process
// (Ctrl-C, a termination request, a closed terminal, a CPU time limit, ...)
// removes the temporary file first; one that was ignored stays ignored. A
// closed standard output or a file size limit end in failed calls that the
// tool reports, not in a killed process.
void start_process();

// Names the temporary file that a signal ending the run removes, with its
// open handle: the name is removed only while it still leads to that file.
// The text must stay in place while it is named.
void remove_on_interrupt(const char* path, File file);

// From now on a signal ending the run removes no file.
void forget_on_interrupt();

// Holds back the signals that would end the run for as long as it lives; one
// that arrives meanwhile takes effect when the outermost hold ends. Holds
// nest, and signals that the caller had blocked stay blocked.
class InterruptHold {
 public:
  InterruptHold();
  ~InterruptHold();
  InterruptHold(const InterruptHold&) = delete;
  InterruptHold& operator=(const InterruptHold&) = delete;
};

// Writes a text to standard output. False when it could not be written whole.
// While signals are held back, one that arrives as the write waits for a full
// pipe or terminal to take it ends the run all the same.
bool print(const char* text, std::size_t length);

// The same for a text that names a path, which must reach the user exactly:
// a Windows console is given its characters, whatever they are; redirected
// output gets the console's code page, where a character it lacks shows as
// '?' and never as a look-alike that would name another file.
bool print_with_path(const char* text, std::size_t length);

enum class Existence {
  exists,   // some file-system entry (file, directory, link) has this name
  missing,  // nothing has this name
  unknown,  // cannot be told (a folder on the way cannot be searched, ...)
};
Existence look_up(const char* path);

// Opens an existing regular file for reading and writing. Anything else (a
// directory, device, pipe or socket) is refused without being opened, and so
// is a file that was swapped for another between the look and the open.
bool open_for_update(const char* path, File& file);

enum class CreateResult { created, name_taken, failed };

// Creates a new, empty file for reading and writing, private to the current
// user. Never opens, empties or replaces an entry that already has this
// name: that gives name_taken.
CreateResult create_new(const char* path, File& file);

// Whether one name in a folder (no separators) may hold `name` followed by
// `ending`: 255 bytes on Linux, 255 UTF-16 units on Windows.
bool name_fits(std::string_view name, std::string_view ending);

// True for the characters that separate the names in a path.
bool is_separator(char c);

// The path of the file that `path` leads to: `path` itself, or, when its last
// name is a symbolic link, where that link leads, through every link in turn.
// On Windows always `path` itself.
// False when a link cannot be read, the links go round, or the result does not
// fit `capacity` bytes with its terminating NUL.
bool resolve_links(const char* path, char* resolved, std::size_t capacity);

// True when `path`, without following a link at its end, names this open file.
// On Windows, where resolve_links leaves the path as it is, a link at its end
// is followed.
bool names_file(const char* path, File file);

// Reads up to `capacity` bytes at the file's position. Returns the number of
// bytes read, 0 at the end of the file, or -1 on failure.
std::ptrdiff_t read_some(File file, char* into, std::size_t capacity);

// Writes all `length` bytes at the file's position.
bool write_all(File file, const char* bytes, std::size_t length);

// Writes `length` bytes of `from`, starting at `from_offset`, at the position of
// `to`. Fails when `from` ends before that many bytes were copied. The position
// of `from` is not changed.
bool copy_bytes(File from, std::uint64_t from_offset, File to, std::uint64_t length);

// Sets aside room on disk for `length` bytes from `offset` on, without
// changing the file's content or length. True when the room is set aside, or
// when the file system cannot set room aside; false when there is none.
bool reserve(File file, std::uint64_t offset, std::uint64_t length);

// What tells whether a file has been written to: its length, and the times of
// its last write and last change. Two stamps of one file are equal while
// nobody writes to it, as far as the file system's clock can tell.
struct FileStamp {
  std::uint64_t length = 0;
  std::int64_t written = 0;  // in the system's own units
  std::int64_t changed = 0;
  bool operator==(const FileStamp&) const = default;
};
bool stamp_of(File file, FileStamp& stamp);

// Cuts or extends the file to `length` bytes.
bool set_length(File file, std::uint64_t length);

// Returns once the file's data has reached stable storage.
bool flush_to_disk(File file);

// Returns once the name of the file at `path` (its entry in its folder) has
// reached stable storage, so that the file is found again after a power loss.
bool flush_name_to_disk(const char* path);

// Waits until no other run of this tool edits the file, and keeps other runs
// out until the file is closed. The lock is on a byte far past the end of any
// real file, which only this tool asks for, so other programs' locks neither
// hold it up nor are held up by it. On a file system without locks the edit
// goes ahead unguarded.
bool lock_for_edit(File file);

// Moves the file's position to `offset` bytes from its start.
bool seek(File file, std::uint64_t offset);

// Closes the file; the handle is invalid afterwards, whatever the result.
bool close(File file);

// Removes the open `file`, made under the name `path`. Only that file goes: a
// file that another program has put under the name is left alone (on POSIX
// the name is then kept, and the result is false; Windows deletes the file
// through its handle, the name going when the handle is closed).
bool remove_file(const char* path, File file);

}  // namespace zibel::platform
