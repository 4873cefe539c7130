// Files: opening the target, making and naming new files in a directory,
// positional reads and writes, and making data and names durable. One source
// file per system implements this (files_posix.cpp, files_win32.cpp); the copy
// from one file to another is written once, above them (copy.cpp).
//
// Every operation reports failure through its result, and seam::last_failure()
// tells why. Transfers are continued until complete; calls that a signal
// interrupts are made again. Paths and names are byte strings: on Windows
// they are WTF-8 (UTF-8 that keeps the lone surrogates a Windows name may
// hold, see wtf8.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zibel::platform {

// An open file. The handle is the system's own (a descriptor, or a HANDLE).
struct File {
  std::intptr_t handle = -1;
  // Made by create_private with no name, and not published yet (Linux).
  bool pending = false;
  // Made by create_private to be deleted by the system when its last handle
  // closes, however the process ends, until it is published (Windows).
  bool delete_pending = false;
};

// A directory that new files are made in. Its path is the path up to and
// including its last separator, or empty for the current directory; names
// are given to the operations below relative to it.
struct Directory {
  std::intptr_t handle = -1;  // POSIX: an open descriptor; Windows: not used
  std::string_view path;
  bool flushable = false;  // POSIX: opened for reading, so that it can be flushed
};

// Opens the directory at `path` (see Directory). A directory that may be
// written but not read is opened all the same, but cannot be flushed.
bool open_directory(std::string_view path, Directory& directory);
void close(Directory& directory);

// Opens an existing regular file for reading and writing. Anything else (a
// directory, device, pipe or socket) is refused without ever being opened
// for reading or writing, whatever is renamed onto the path meanwhile.
bool open_for_update(const char* path, File& file);

enum class Created { created, name_taken, failed };

// A new, empty file for reading and writing, private to the current user,
// in `directory`. Where the file system can make one and /proc is there to
// name it later (Linux), it has no name until it is published, and `name` is
// not used yet (the file is `pending`): a run killed before that leaves
// nothing behind. Elsewhere (Windows; a file system without O_TMPFILE, or no
// /proc) it is made under `name`, never opening, emptying or replacing an
// entry that already has that name (name_taken); on Windows the system
// deletes it if the process ends before it is published, as a kill does.
Created create_private(const Directory& directory, const char* name, File& file);

// Gives a file made by create_private its name, `name` (the one it was made
// under, where it has one): exclusively, never replacing an entry that has
// the name (name_taken). The name is durable once the directory is flushed.
Created publish(const Directory& directory, File& file, const char* name);

// Whether `name` in `directory`, not followed if it is a link, is the open
// `file`.
bool names_file(const Directory& directory, const char* name, File file);

// Removes the open `file`, named `name` in `directory`. Only that file goes:
// when the name no longer leads to it (another program removed it, or put a
// file of its own there, which is left alone), `gone`.
enum class Removal { removed, gone, failed };
Removal remove(const Directory& directory, const char* name, File file);

// Reads up to `capacity` bytes from `offset` on: the number read, 0 at the end
// of the file, or -1 on failure.
std::ptrdiff_t read_at(File file, std::uint64_t offset, char* into, std::size_t capacity);

// Writes all `length` bytes at `offset`.
bool write_at(File file, std::uint64_t offset, const char* bytes, std::size_t length);

// Writes `length` bytes of `from`, starting at `from_offset`, into `to` at
// `to_offset`, through the kernel's own copy where the system has one, else
// through memory. Fails when `from` ends first.
bool copy(File from, std::uint64_t from_offset, File to, std::uint64_t to_offset,
          std::uint64_t length);

// The kernel's own copy, one call of it, for copy(): the bytes copied, 0 when
// `from` has none there, or -1 when it failed or is not offered.
std::int64_t copy_in_kernel(File from, std::uint64_t from_offset, File to, std::uint64_t to_offset,
                            std::uint64_t length);

// Makes `to`, an empty file, hold all that `from` holds by sharing its blocks,
// where the file system can (XFS, btrfs: FICLONE): copy-on-write, so that a
// later write to either never changes the other. `not_offered` elsewhere.
enum class Cloned { cloned, not_offered, failed };
Cloned clone(File from, File to);

// The file system's block size, which a range must be aligned to for blocks
// to be shared (4096 where it cannot be told).
std::uint64_t block_size(File file);

// Preallocates `length` bytes from `offset` on, without changing the file's
// content or length. True when the space is allocated, or when the file
// system cannot preallocate; false when the disk has no room.
bool preallocate(File file, std::uint64_t offset, std::uint64_t length);

// What tells whether a file has been written to: its length, and the times
// of its last modification and last status change. Two of one file are equal
// while nobody writes to it, as far as the file system's clock can tell.
struct FileState {
  std::uint64_t length = 0;
  std::int64_t modified = 0;  // in the system's own units
  std::int64_t changed = 0;
  bool operator==(const FileState&) const = default;
};
bool state_of(File file, FileState& state);

// What identifies a file from one run to the next, across the reboot that a
// power cut brings: its number on its volume (the inode, or the file ID) and
// what tells a number used again apart, where the file system keeps it: the
// generation, and the time the file was made (in nanoseconds, or the system's
// own units). Not its device, whose number may change at a reboot: two open
// files are compared as they are now (same_device). An identity with neither
// generation nor birth time (`provable()` false) cannot tell a file from one
// made later under the same number.
struct FileIdentity {
  std::uint64_t number[2] = {};
  std::uint64_t generation = 0;
  std::int64_t born = 0;
  bool provable() const { return generation != 0 || born != 0; }
  bool operator==(const FileIdentity&) const = default;
};
bool identity_of(File file, FileIdentity& identity);
bool same_device(File a, File b);

// The user this run acts as, as the owner of the files it makes: the
// effective user ID, or on Windows the SID the token makes owner of new files
// (for an elevated administrator, the Administrators group).
struct Owner {
  std::uint8_t length = 0;
  std::uint8_t bytes[68] = {};
  bool operator==(const Owner&) const = default;
};
bool current_owner(Owner& owner);

enum class Candidate { absent, untrusted, opened };

// Opens `name` in `directory` for reading only, as a file an earlier run of
// this tool may have left for `target`. It is opened only when it is a
// regular file reached without following a link, with one link, on the
// target's device, owned by the current user and private to them, and when
// no live run holds it: a shared lock on its lock byte is taken at once, and
// kept until the file is closed. Anything else gives `untrusted` and is never
// opened for reading or writing (a pipe or a device is only looked at, without
// effects); nothing under the name gives `absent`.
Candidate open_candidate(const Directory& directory, const char* name, File target,
                         File& candidate);

// Cuts or extends the file to `length` bytes.
bool set_length(File file, std::uint64_t length);

// Returns once the file's data, or the directory's names, are on disk.
bool flush(File file);
bool flush(const Directory& directory);

// Waits until no other run of this tool edits the file, and keeps other runs
// out until the file is closed. The lock is on a byte far past the end of any
// real file, which only this tool asks for. On a file system without locks the
// edit goes ahead unguarded.
bool lock_for_edit(File file);

// Keeps other programs from the range the commit rewrites, and learns before
// the first byte is written whether another program keeps it from us. On
// Windows, where a range another program has locked makes a write fail part
// way, it is an exclusive lock, taken without waiting (false when another
// program holds part of the range); it also makes other programs' reads of
// the range fail until unlock_range. POSIX locks do not stop a write: nothing
// is done there.
bool lock_range(File file, std::uint64_t offset, std::uint64_t length);
void unlock_range(File file, std::uint64_t offset, std::uint64_t length);

// Closes the file; the handle is invalid afterwards, whatever the result.
bool close(File file);

}  // namespace zibel::platform
