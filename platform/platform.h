// The operations the tool needs from the operating system. One source file per
// system implements them (posix.cpp, win32.cpp); CMake picks the one to build.
//
// Every operation reports failure through its result; none of them prints.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zibel::platform {

// An open file. The handle is the system's own (a descriptor, or a HANDLE).
struct File {
  std::intptr_t handle = -1;
};

// Sets up the process before the first other call: file size limits and the
// like must end in failed calls that the tool reports, not in a killed process,
// and an interrupt (Ctrl-C, a termination request, a closed terminal) removes
// the temporary file before it ends the process.
void start_process();

// Names the temporary file that an interrupt must remove, or none (null). The
// text must stay in place while it is named.
void remove_on_interrupt(const char* path);

// Holds interrupts back until release_interrupts: one that arrives meanwhile
// takes effect then.
void hold_interrupts();
void release_interrupts();

// Writes a text to standard output. False when it could not be written whole.
bool print(const char* text, std::size_t length);

// True when any file-system entry (file, directory, link) has this name.
bool path_exists(const char* path);

// Opens an existing regular file for reading and writing.
bool open_for_update(const char* path, File& file);

// Opens an existing regular file for reading only.
bool open_for_reading(const char* path, File& file);

enum class CreateResult { created, name_taken, failed };

// Creates a new, empty file for reading and writing. Never opens, empties or
// replaces an entry that already has this name: that gives name_taken.
CreateResult create_new(const char* path, File& file);

// Reads up to `capacity` bytes at the file's position. Returns the number of
// bytes read, 0 at the end of the file, or -1 on failure.
std::ptrdiff_t read_some(File file, char* into, std::size_t capacity);

// Writes all `length` bytes at the file's position.
bool write_all(File file, const char* bytes, std::size_t length);

// Writes `length` bytes of `from`, starting at `from_offset`, at the position of
// `to`. Fails when `from` ends before that many bytes were copied. The position
// of `from` is not changed.
bool copy_bytes(File from, std::uint64_t from_offset, File to, std::uint64_t length);

// Cuts or extends the file to `length` bytes.
bool set_length(File file, std::uint64_t length);

// Returns once the file's data has reached stable storage.
bool flush_to_disk(File file);

// Returns once the name of the file at `path` (its entry in its folder) has
// reached stable storage, so that the file is found again after a power loss.
bool flush_name_to_disk(const char* path);

// Waits until no other run of this tool edits the file, and keeps other runs
// out until the file is closed. Other programs are not held up. On a file
// system without locks the edit goes ahead unguarded.
bool lock_for_edit(File file);

// Moves the file's position back to its start.
bool rewind(File file);

// Closes the file; the handle is invalid afterwards, whatever the result.
bool close(File file);

// Removes a file's name from its directory.
bool remove_file(const char* path);

}  // namespace zibel::platform
