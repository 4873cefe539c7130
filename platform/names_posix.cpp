// Names on POSIX systems.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/names.h"
#include "platform/posix_call.h"

namespace zibel::platform {
namespace {

using posix::system_call;
using seam::Point;

// The longest name one directory entry holds on the file systems Linux uses.
constexpr std::size_t kMaxNameLength = 255;

// How many symbolic links in a row are followed, as the kernel does.
constexpr int kMaxLinksFollowed = 40;

bool look_without_following(const char* path, struct stat& status) {
  return system_call({Point::look, -1, 0, 0, path},
                     [&](std::uint64_t) { return ::lstat(path, &status); }) == 0;
}

// The path of the file that `path` leads to: `path` itself, or, when its last
// name is a symbolic link, where that link leads, through every link in turn.
bool resolve_links(const char* path, char* resolved, std::size_t capacity) {
  const std::size_t length = std::strlen(path);
  if (length >= capacity) return false;
  std::memcpy(resolved, path, length + 1);
  char link[4096];
  for (int followed = 0; followed <= kMaxLinksFollowed; ++followed) {
    struct stat status {};
    if (!look_without_following(resolved, status)) return false;
    if (!S_ISLNK(status.st_mode)) return true;
    const ssize_t count = system_call({Point::read_link, -1, 0, 0, resolved}, [&](std::uint64_t) {
      return ::readlink(resolved, link, sizeof link);
    });
    if (count <= 0 || static_cast<std::size_t>(count) >= sizeof link) return false;
    const auto link_length = static_cast<std::size_t>(count);
    // A relative link leads on from the directory that holds it.
    const std::size_t directory_length = link[0] == '/' ? 0 : last_name_start(resolved);
    if (directory_length + link_length >= capacity) return false;
    std::memcpy(resolved + directory_length, link, link_length);
    resolved[directory_length + link_length] = '\0';
  }
  return false;  // the links go round
}

}  // namespace

bool surely_missing(const char* path) {
  struct stat status {};
  if (look_without_following(path, status)) return false;
  // A name longer than any directory entry holds cannot exist either.
  return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG;
}

bool name_fits(std::string_view name, std::string_view ending) {
  return name.size() + ending.size() <= kMaxNameLength;
}

std::size_t last_name_start(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

bool place_temporary_files(const char* path, File target, char* beside, std::size_t capacity) {
  struct stat named {};
  struct stat held {};
  return resolve_links(path, beside, capacity) && look_without_following(beside, named) &&
         system_call(
             {Point::look, target.handle},
             [&](std::uint64_t) { return ::fstat(static_cast<int>(target.handle), &held); }) == 0 &&
         posix::same_file(named, held);
}

}  // namespace zibel::platform
