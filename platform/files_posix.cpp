// Files on POSIX systems (Linux first of all).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/files.h"
#include "platform/posix_call.h"

static_assert(sizeof(off_t) == 8, "files over 2 GiB need 64-bit offsets (_FILE_OFFSET_BITS=64)");

namespace zibel::platform {
namespace {

using posix::at_most;
using posix::system_call;
using seam::Point;

// The byte that runs of this tool lock: far past the end of any real file,
// so that no other program asks for it.
constexpr off_t kLockOffset = std::numeric_limits<off_t>::max() - 15;

int descriptor(File file) {
  return static_cast<int>(file.handle);
}

int descriptor(const Directory& directory) {
  return static_cast<int>(directory.handle);
}

bool look(int fd, struct stat& status) {
  return system_call({Point::look, fd}, [&](std::uint64_t) { return ::fstat(fd, &status); }) == 0;
}

bool close_descriptor(int fd) {
  // On Linux the descriptor is released even when close fails, and must not be
  // closed again; after EINTR nothing is lost, the data having been flushed
  // before wherever it matters.
  const seam::Call call{Point::close, fd};
  const seam::Decision decision = seam::enter(call);
  const bool closed = (::close(fd) == 0 || errno == EINTR) && !decision.fail;
  if (decision.fail) errno = decision.error;
  seam::leave(call, closed ? 0 : -1, closed ? 0 : errno);
  return closed;
}

// Clears O_NONBLOCK, with which a file was opened so that the open could not wait.
bool clear_nonblocking(int fd) {
  const int flags =
      system_call({Point::control, fd}, [&](std::uint64_t) { return ::fcntl(fd, F_GETFL); });
  return flags >= 0 && system_call({Point::control, fd}, [&](std::uint64_t) {
                         return ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
                       }) == 0;
}

}  // namespace

bool open_directory(std::string_view path, Directory& directory) {
  // The path ends with its separator, or is empty for the current directory.
  char name[4096];
  if (path.size() >= sizeof name) return false;
  path.copy(name, path.size());
  name[path.size()] = '\0';
  const char* const opened = path.empty() ? "." : name;
  int fd = system_call({Point::open, -1, 0, 0, opened}, [&](std::uint64_t) {
    return ::open(opened, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  directory.flushable = fd >= 0;
  // A directory that may be written but not read can still take new files;
  // it cannot be flushed, and that must not stop an edit there.
  if (fd < 0 && errno == EACCES) {
    fd = system_call({Point::open, -1, 0, 0, opened}, [&](std::uint64_t) {
      return ::open(opened, O_PATH | O_DIRECTORY | O_CLOEXEC);
    });
  }
  if (fd < 0) return false;
  directory.handle = fd;
  directory.path = path;
  return true;
}

void close(Directory& directory) {
  if (directory.handle < 0) return;
  (void)close_descriptor(descriptor(directory));  // nothing was written through it
  directory.handle = -1;
}

namespace {

// Where /proc is missing: opens the regular file looked at as `looked`, under
// its name. O_NONBLOCK keeps the open from waiting should the entry be swapped
// for a pipe meanwhile; the descriptor must then be the file looked at.
int open_looked_at(const char* path, const struct stat& looked) {
  int fd = system_call({Point::open, -1, 0, 0, path}, [&](std::uint64_t) {
    return ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  });
  // Another program holds a lease on the file (a file server's cached copy):
  // the open has asked it to give the lease up, and a writer waits for that.
  if (fd < 0 && errno == EWOULDBLOCK) {
    fd = system_call({Point::open, -1, 0, 0, path},
                     [&](std::uint64_t) { return ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY); });
  }
  if (fd < 0) return -1;
  struct stat opened {};
  if (!look(fd, opened) || !posix::same_file(looked, opened) || !clear_nonblocking(fd)) {
    (void)close_descriptor(fd);  // nothing was read or written through it
    return -1;
  }
  return fd;
}

}  // namespace

bool open_for_update(const char* path, File& file) {
  // Opening has effects of its own on pipes and devices (it releases a writer
  // waiting on a pipe), so only a regular file is opened for reading and
  // writing at all. An O_PATH descriptor opens nothing: the type is checked on
  // it, and the object it names is then opened again through /proc/self/fd,
  // that very object, whatever has been renamed onto the path meanwhile. A
  // lease another program holds (a file server's cached copy) is given up
  // first, as for any writer.
  const int looked = system_call({Point::open, -1, 0, 0, path},
                                 [&](std::uint64_t) { return ::open(path, O_PATH | O_CLOEXEC); });
  if (looked < 0) return false;
  struct stat status {};
  int fd = -1;
  if (look(looked, status) && S_ISREG(status.st_mode)) {
    char again[32];
    std::snprintf(again, sizeof again, "/proc/self/fd/%d", looked);
    fd = system_call({Point::open, -1, 0, 0, again},
                     [&](std::uint64_t) { return ::open(again, O_RDWR | O_CLOEXEC | O_NOCTTY); });
    if (fd < 0 && errno == ENOENT) fd = open_looked_at(path, status);
  }
  (void)close_descriptor(looked);  // opened for looking only
  if (fd < 0) return false;
  file.handle = fd;
  return true;
}

Created create_private(const Directory& directory, const char* name, File& file) {
  // Unnamed where the file system can make such a file (O_TMPFILE) and /proc
  // is there to name it later: a run that ends first leaves nothing behind.
  // Never O_EXCL, which would forbid naming it.
  const int unnamed =
      system_call({Point::create, -1, 0, 0, ".", nullptr, directory.handle}, [&](std::uint64_t) {
        return ::openat(descriptor(directory), ".", O_TMPFILE | O_RDWR | O_CLOEXEC,
                        S_IRUSR | S_IWUSR);
      });
  if (unnamed >= 0) {
    if (system_call({Point::look, -1, 0, 0, "/proc/self/fd"},
                    [&](std::uint64_t) { return ::access("/proc/self/fd", X_OK); }) == 0) {
      file = File{unnamed, true};
      return Created::created;
    }
    (void)close_descriptor(unnamed);  // nothing written to it
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return Created::failed;  // a file system that makes such files, and could not
  }
  // Private to the owner: the file holds the target's content.
  const int fd =
      system_call({Point::create, -1, 0, 0, name, nullptr, directory.handle}, [&](std::uint64_t) {
        return ::openat(descriptor(directory), name,
                        O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, S_IRUSR | S_IWUSR);
      });
  if (fd < 0) return errno == EEXIST ? Created::name_taken : Created::failed;
  file = File{fd, false};
  return Created::created;
}

Created publish(const Directory& directory, File& file, const char* name) {
  if (!file.pending) return Created::created;  // made under its name
  // linkat refuses a name that is taken, as an exclusive create does, and
  // needs no privilege through /proc/self/fd.
  char unnamed[32];
  std::snprintf(unnamed, sizeof unnamed, "/proc/self/fd/%d", descriptor(file));
  if (system_call(
          {Point::link, file.handle, 0, 0, name, nullptr, directory.handle}, [&](std::uint64_t) {
            return ::linkat(AT_FDCWD, unnamed, descriptor(directory), name, AT_SYMLINK_FOLLOW);
          }) != 0) {
    return errno == EEXIST ? Created::name_taken : Created::failed;
  }
  file.pending = false;
  return Created::created;
}

bool names_file(const Directory& directory, const char* name, File file) {
  return system_call({Point::look, file.handle, 0, 0, name, nullptr, directory.handle},
                     [&](std::uint64_t) {
                       if (posix::names_descriptor(descriptor(directory), name, descriptor(file))) {
                         return 0;
                       }
                       errno = ENOENT;
                       return -1;
                     }) == 0;
}

Removal remove(const Directory& directory, const char* name, File file) {
  if (file.pending) return Removal::gone;  // it has no name, and goes when it is closed
  bool ours = true;
  const int result = system_call(
      {Point::remove, file.handle, 0, 0, name, nullptr, directory.handle}, [&](std::uint64_t) {
        // Looked at right before the name goes: another program may have put
        // a file of its own there.
        ours = posix::names_descriptor(descriptor(directory), name, descriptor(file));
        if (!ours) {
          errno = ENOENT;
          return -1;
        }
        return ::unlinkat(descriptor(directory), name, 0);
      });
  return result == 0 ? Removal::removed : ours ? Removal::failed : Removal::gone;
}

std::ptrdiff_t read_at(File file, std::uint64_t offset, char* into, std::size_t capacity) {
  return system_call({Point::read, file.handle, offset, capacity}, [&](std::uint64_t limit) {
    return ::pread(descriptor(file), into, at_most(capacity, limit), static_cast<off_t>(offset));
  });
}

bool write_at(File file, std::uint64_t offset, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t count = system_call(
        {Point::write, file.handle, offset, length, nullptr, bytes}, [&](std::uint64_t limit) {
          return ::pwrite(descriptor(file), bytes, at_most(length, limit),
                          static_cast<off_t>(offset));
        });
    if (count <= 0) return false;
    bytes += count;
    offset += static_cast<std::uint64_t>(count);
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

std::int64_t copy_in_kernel(File from, std::uint64_t from_offset, File to, std::uint64_t to_offset,
                            std::uint64_t length) {
  auto in = static_cast<off_t>(from_offset);
  auto out = static_cast<off_t>(to_offset);
  return system_call({Point::copy, to.handle, to_offset, length, nullptr, nullptr, from.handle},
                     [&](std::uint64_t limit) {
                       return ::copy_file_range(descriptor(from), &in, descriptor(to), &out,
                                                at_most(length, limit), 0);
                     });
}

Cloned clone(File from, File to) {
  if (system_call(
          {Point::clone, to.handle, 0, 0, nullptr, nullptr, from.handle},
          [&](std::uint64_t) { return ::ioctl(descriptor(to), FICLONE, descriptor(from)); }) == 0) {
    return Cloned::cloned;
  }
  // A file system that shares no blocks (ext4, tmpfs), or two of them.
  return errno == EOPNOTSUPP || errno == ENOTTY || errno == EXDEV || errno == EINVAL ||
                 errno == ENOSYS
             ? Cloned::not_offered
             : Cloned::failed;
}

std::uint64_t block_size(File file) {
  struct statfs status {};
  if (system_call({Point::look, file.handle},
                  [&](std::uint64_t) { return ::fstatfs(descriptor(file), &status); }) != 0 ||
      status.f_bsize <= 0) {
    return 4096;
  }
  return static_cast<std::uint64_t>(status.f_bsize);
}

bool preallocate(File file, std::uint64_t offset, std::uint64_t length) {
  struct stat status {};
  if (!look(descriptor(file), status)) return false;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const std::uint64_t end = offset + length;
  // Blocks shared with another file (a clone made by cp, a snapshot, the
  // temporary file) get new ones when they are written: where the file system
  // can (XFS), the range to be written is unshared now, so that a disk too
  // full for it is found now; only that range, as the rest may stay shared.
  // Elsewhere the call is refused, and on btrfs and ZFS such a write can
  // still find the disk full.
  const std::uint64_t shared_end = end < size ? end : size;
  if (offset < shared_end &&
      system_call({Point::preallocate, file.handle, offset, shared_end - offset},
                  [&](std::uint64_t) {
                    return ::fallocate(descriptor(file), FALLOC_FL_UNSHARE_RANGE,
                                       static_cast<off_t>(offset),
                                       static_cast<off_t>(shared_end - offset));
                  }) != 0 &&
      errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS) {
    return false;
  }
  // Only the holes below the end need blocks, and what lies past it: the
  // allocation starts at the first hole, so that a file without holes, the
  // common case, spares a walk over every block it has.
  std::uint64_t from = offset;
  if (offset < size) {
    const off_t hole = system_call({Point::look, file.handle, offset}, [&](std::uint64_t) {
      return ::lseek(descriptor(file), static_cast<off_t>(offset), SEEK_HOLE);
    });
    if (hole < 0) return false;
    from = static_cast<std::uint64_t>(hole);
  }
  if (from >= end) return true;
  if (system_call({Point::preallocate, file.handle, from, end - from}, [&](std::uint64_t) {
        return ::fallocate(descriptor(file), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                           static_cast<off_t>(end - from));
      }) == 0) {
    return true;
  }
  // A file system that cannot preallocate is written as it comes.
  return errno == EOPNOTSUPP || errno == ENOSYS;
}

bool state_of(File file, FileState& state) {
  struct stat status {};
  if (!look(descriptor(file), status)) return false;
  constexpr std::int64_t kNanoseconds = 1'000'000'000;
  state.length = static_cast<std::uint64_t>(status.st_size);
  state.modified = status.st_mtim.tv_sec * kNanoseconds + status.st_mtim.tv_nsec;
  state.changed = status.st_ctim.tv_sec * kNanoseconds + status.st_ctim.tv_nsec;
  return true;
}

bool identity_of(File file, FileIdentity& identity) {
  struct statx status {};
  if (system_call({Point::look, file.handle}, [&](std::uint64_t) {
        return ::statx(descriptor(file), "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &status);
      }) != 0) {
    return false;
  }
  identity = FileIdentity{{status.stx_ino, 0}, 0, 0};
  if ((status.stx_mask & STATX_BTIME) != 0) {
    constexpr std::int64_t kNanoseconds = 1'000'000'000;
    identity.born = status.stx_btime.tv_sec * kNanoseconds + status.stx_btime.tv_nsec;
  }
  // The generation, where the file system keeps one (ext4, XFS, btrfs); others
  // do not know the call.
  unsigned int generation = 0;
  if (system_call({Point::look, file.handle}, [&](std::uint64_t) {
        return ::ioctl(descriptor(file), FS_IOC_GETVERSION, &generation);
      }) == 0) {
    identity.generation = generation;
    return true;
  }
  return errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL;
}

bool same_device(File a, File b) {
  struct stat first {};
  struct stat second {};
  return look(descriptor(a), first) && look(descriptor(b), second) && first.st_dev == second.st_dev;
}

bool current_owner(Owner& owner) {
  const uid_t user = ::geteuid();
  owner = Owner{};
  owner.length = sizeof user;
  std::memcpy(owner.bytes, &user, sizeof user);
  return true;
}

namespace {

// Takes the lock byte, `type` F_RDLCK or F_WRLCK, waiting for it or not: a
// lock owned by the open file, not by the process (F_OFD_SETLK); where the
// kernel has none of those, a classic one, which serves as well here. -1 with
// errno on failure.
int lock_byte(int fd, short type, bool wait) {
  struct flock region {};
  region.l_type = type;
  region.l_whence = SEEK_SET;
  region.l_start = kLockOffset;
  region.l_len = 1;
  const int result = system_call({Point::lock, fd}, [&](std::uint64_t) {
    return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &region);
  });
  if (result == 0 || errno != EINVAL) return result;
  return system_call({Point::lock, fd}, [&](std::uint64_t) {
    return ::fcntl(fd, wait ? F_SETLKW : F_SETLK, &region);
  });
}

// Takes the lock byte shared, without waiting: false when a live run holds it.
bool lock_shared_at_once(int fd) {
  // On a file system without locks no run is told apart: this one holds the
  // target's lock, so no run of this tool edits that target now.
  return lock_byte(fd, F_RDLCK, false) == 0 || errno == ENOLCK || errno == EOPNOTSUPP ||
         errno == ENOSYS;
}

}  // namespace

Candidate open_candidate(const Directory& directory, const char* name, File target,
                         File& candidate) {
  const int looked =
      system_call({Point::open, -1, 0, 0, name, nullptr, directory.handle}, [&](std::uint64_t) {
        return ::openat(descriptor(directory), name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
      });
  if (looked < 0) return errno == ENOENT ? Candidate::absent : Candidate::untrusted;
  struct stat status {};
  struct stat target_status {};
  int fd = -1;
  if (look(looked, status) && look(descriptor(target), target_status) && S_ISREG(status.st_mode) &&
      status.st_dev == target_status.st_dev && status.st_nlink == 1 &&
      status.st_uid == ::geteuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
    char again[32];
    std::snprintf(again, sizeof again, "/proc/self/fd/%d", looked);
    fd = system_call({Point::open, -1, 0, 0, again},
                     [&](std::uint64_t) { return ::open(again, O_RDONLY | O_CLOEXEC | O_NOCTTY); });
    // Without /proc: by its name, not following a link, and only if it is
    // still the file looked at.
    if (fd < 0 && errno == ENOENT) {
      fd =
          system_call({Point::open, -1, 0, 0, name, nullptr, directory.handle}, [&](std::uint64_t) {
            return ::openat(descriptor(directory), name,
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
          });
      struct stat opened {};
      if (fd >= 0 && (!look(fd, opened) || !posix::same_file(status, opened))) {
        (void)close_descriptor(fd);
        fd = -1;
      }
    }
  }
  (void)close_descriptor(looked);  // opened for looking only
  if (fd < 0) return Candidate::untrusted;
  if (!lock_shared_at_once(fd)) {
    (void)close_descriptor(fd);  // only looked at
    return Candidate::untrusted;
  }
  candidate = File{fd, false};
  return Candidate::opened;
}

bool set_length(File file, std::uint64_t length) {
  return system_call({Point::truncate, file.handle, length}, [&](std::uint64_t) {
           return ::ftruncate(descriptor(file), static_cast<off_t>(length));
         }) == 0;
}

bool flush(File file) {
  return system_call({Point::flush, file.handle},
                     [&](std::uint64_t) { return ::fsync(descriptor(file)); }) == 0;
}

bool flush(const Directory& directory) {
  if (!directory.flushable) return true;  // see open_directory
  // Some file systems cannot flush a directory at all (EINVAL); their names
  // are as durable as they can be made.
  return system_call({Point::flush, directory.handle},
                     [&](std::uint64_t) { return ::fsync(descriptor(directory)); }) == 0 ||
         errno == EINVAL;
}

bool lock_for_edit(File file) {
  // A file system without locks can still be edited, only not guarded.
  return lock_byte(descriptor(file), F_WRLCK, true) == 0 || errno == ENOLCK ||
         errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
}

// Other programs' POSIX locks never stop this tool's writes.
bool lock_range(File, std::uint64_t, std::uint64_t) {
  return true;
}

void unlock_range(File, std::uint64_t, std::uint64_t) {}

bool close(File file) {
  return close_descriptor(descriptor(file));
}

}  // namespace zibel::platform
