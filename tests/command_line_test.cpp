// The built program, run in a scratch directory: exact console bytes, exit
// statuses, file contents, and no file left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "zibel_runner.h"

namespace zibel::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Names = std::vector<std::string>;

const std::string kBanner =
    "\nZibel - Wendeltext v1.0\nWritten by the Zibel authors\n\nSyntax:\n=======\n"
    "Replace strings inside a text file:\n   Zibel /rt <Textfile> <old string> <new string>\n";

// Windows programs run under Wine as the same user; what these cases test
// (permission bits, other users, file size limits, symbolic links, devices)
// has no Windows counterpart that Wine reproduces.
constexpr const char* kPosixOnly = "a POSIX case, not run for the Windows program";

struct stat status_of(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

class CommandLine : public ::testing::Test {
 protected:
  // Runs the program and checks what it printed, its status, and that it
  // never wrote to standard error.
  void expect_run(const std::vector<std::string>& arguments, const std::string& out, int status,
                  RunOptions options = {}) {
    const RunResult result = scratch.run(arguments, options);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, status);
  }

  ScratchDirectory scratch;
};

TEST_F(CommandLine, RefusedCommandLinesPrintTheUsageBannerAndTouchNothing) {
  scratch.write("notes.txt", "a cat");
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"/rt"},
      {"/rt", "notes.txt", "cat"},
      {"/r", "notes.txt", "cat", "dog"},
      {"/rtx", "notes.txt", "cat", "dog"},
      {"-rt", "notes.txt", "cat", "dog"},
      {"rt", "notes.txt", "cat", "dog"},
      {"/rt ", "notes.txt", "cat", "dog"},
      {"", "notes.txt", "cat", "dog"},
  };
  for (const auto& arguments : refused) {
    SCOPED_TRACE(arguments.empty() ? "no arguments" : "'" + arguments[0] + "'");
    expect_run(arguments, kBanner, 255);
  }
  EXPECT_EQ(scratch.read("notes.txt"), "a cat");
  EXPECT_EQ(scratch.names(), Names{"notes.txt"});
}

TEST_F(CommandLine, AcceptsTheCommandWordInAnyCaseAndIgnoresExtraOperands) {
  scratch.write("notes.txt", "a b c");
  expect_run({"/RT", "notes.txt", "a", "A"}, "", 0);
  expect_run({"/rT", "notes.txt", "b", "B", "extra", "operands"}, "", 0);
  expect_run({"/Rt", "notes.txt", "c", "C"}, "", 0);
  EXPECT_EQ(scratch.read("notes.txt"), "A B C");
}

// On Windows the arguments are one command line, split again by the C
// runtime: spaces, quotes and backslashes must survive, and wildcards must not
// be expanded into file names.
TEST_F(CommandLine, OperandsArriveWholeWithSpacesQuotesAndWildcards) {
  scratch.write("a.txt", "x");
  scratch.write("b.txt", "x");
  expect_run({"/rt", "*.txt", "x", "y"}, "\nFile not found!\n", 254);
  expect_run({"/rt", "?.txt", "x", "y"}, "\nFile not found!\n", 254);
  EXPECT_EQ(scratch.read("a.txt") + scratch.read("b.txt"), "xx");

  scratch.write("two words.txt", R"(say "a b\c" \"now\" *)");
  expect_run({"/rt", "two words.txt", R"("a b\c")", R"('d e\\f' "")"}, "", 0);
  expect_run({"/rt", "two words.txt", "*", "?"}, "", 0);
  EXPECT_EQ(scratch.read("two words.txt"), R"(say 'd e\\f' "" \"now\" ?)");
}

TEST_F(CommandLine, TargetThatDoesNotExistIsNotFound) {
  for (const char* target : {"missing.txt", "", "no/such/directory/notes.txt"}) {
    SCOPED_TRACE(target);
    expect_run({"/rt", target, "cat", "dog"}, "\nFile not found!\n", 254);
  }
  EXPECT_EQ(scratch.names(), Names{});
}

TEST_F(CommandLine, RefusesEmptyOldStringAndOverlongOperandsBeforeLookingForTheFile) {
  const std::string too_long(2048, 'x');
  expect_run({"/rt", "missing.txt", "", "dog"}, "\nOld string must not be empty!\n", 255);
  expect_run({"/rt", std::string(2044, 'p'), "cat", "dog"}, "\nArgument too long!\n", 255);
  expect_run({"/rt", "missing.txt", too_long, "dog"}, "\nArgument too long!\n", 255);
  expect_run({"/rt", "missing.txt", "cat", too_long}, "\nArgument too long!\n", 255);
  // The longest operands that fit are taken.
  expect_run({"/rt", std::string(2043, 'p'), "cat", "dog"}, "\nFile not found!\n", 254);
  const std::string old_string(2047, 'o');
  const std::string new_string(2047, 'n');
  scratch.write("notes.txt", "<" + old_string + ">");
  expect_run({"/rt", "notes.txt", old_string, new_string}, "", 0);
  EXPECT_EQ(scratch.read("notes.txt"), "<" + new_string + ">");
}

TEST_F(CommandLine, RewritesTheTargetInPlaceAndLeavesNothingBehind) {
  scratch.write("notes.txt", "a cat, a cat");
  ASSERT_EQ(::chmod(scratch.path("notes.txt").c_str(), 0640), 0);
  ASSERT_EQ(::link(scratch.path("notes.txt").c_str(), scratch.path("hard.txt").c_str()), 0);
  ASSERT_EQ(::symlink("notes.txt", scratch.path("soft.txt").c_str()), 0);
  const struct stat before = status_of(scratch.path("notes.txt"));

  expect_run({"/rt", "notes.txt", "cat", "dog"}, "", 0);
  EXPECT_EQ(scratch.read("notes.txt"), "a dog, a dog");
  const struct stat after = status_of(scratch.path("notes.txt"));
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(scratch.read("hard.txt"), "a dog, a dog");

  // Through a symbolic link: the link stays a link, the file it names changes.
  expect_run({"/rt", "soft.txt", "dog", "bird"}, "", 0);
  EXPECT_TRUE(S_ISLNK(status_of(scratch.path("soft.txt")).st_mode));
  EXPECT_EQ(scratch.read("notes.txt"), "a bird, a bird");
  EXPECT_EQ(scratch.names(), (Names{"hard.txt", "notes.txt", "soft.txt"}));
}

TEST_F(CommandLine, EditsInADirectoryThatCanBeWrittenButNotListed) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  ASSERT_EQ(::mkdir(scratch.path("drop").c_str(), 0755), 0);
  scratch.write("drop/notes.txt", "a cat");
  ASSERT_EQ(::chmod(scratch.path("drop/notes.txt").c_str(), 0666), 0);
  ASSERT_EQ(::chmod(scratch.path("drop").c_str(), 0333), 0);
  expect_run({"/rt", "drop/notes.txt", "cat", "dog"}, "", 0, {.unprivileged = true});
  ASSERT_EQ(::chmod(scratch.path("drop").c_str(), 0755), 0);
  EXPECT_EQ(scratch.read("drop/notes.txt"), "a dog");
  EXPECT_EQ(scratch.names("drop"), Names{"notes.txt"});
}

TEST_F(CommandLine, ShorterAndEqualContentAndNulBytesAreWrittenExactly) {
  scratch.write("notes.txt", "a cat\0cat\r\n\x1a\xff"s);
  expect_run({"/rt", "notes.txt", "cat", ""}, "", 0);
  EXPECT_EQ(scratch.read("notes.txt"), "a \0cat\r\n\x1a\xff"s);
  expect_run({"/rt", "notes.txt", "a", "a"}, "", 0);
  EXPECT_EQ(scratch.read("notes.txt"), "a \0cat\r\n\x1a\xff"s);
}

TEST_F(CommandLine, FileWithoutAnOccurrenceIsNotWritten) {
  for (const std::string& content : {""s, "a Cat"s, "a \0cat"s}) {
    scratch.write("notes.txt", content);
    const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, scratch.path("notes.txt").c_str(), long_ago, 0), 0);
    expect_run({"/rt", "notes.txt", "cat", "dog"}, "", 0);
    EXPECT_EQ(scratch.read("notes.txt"), content);
    EXPECT_EQ(status_of(scratch.path("notes.txt")).st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

TEST_F(CommandLine, LargeFilesAreRewrittenWhole) {
  // Occurrences across and around the ends of the reads of a large file: the
  // tool reads 128 KiB at a time and keeps the last 5 bytes (the old string's
  // length less one) for the next read, so the k-th read ends 5 (k - 1) bytes
  // before k times 128 KiB.
  constexpr std::size_t kRead = std::size_t{128} << 10;
  std::string content(40 * kRead + 3000, '.');
  for (std::size_t k = 1; k <= 40; ++k) {
    const std::size_t end = k * kRead - 5 * (k - 1);
    for (const std::size_t at : {end - 2000, end - 3, end - 6, end + 7}) {
      content.replace(at, 6, "needle");
    }
  }
  content.replace(content.size() - 6, 6, "needle");
  std::string expected;
  for (std::size_t from = 0, at; from < content.size(); from = at + 6) {
    at = std::min(content.find("needle", from), content.size());
    expected.append(content, from, at - from).append(at < content.size() ? "pin" : "");
  }
  scratch.write("big.txt", content);
  expect_run({"/rt", "big.txt", "needle", "pin"}, "", 0);
  EXPECT_TRUE(scratch.read("big.txt") == expected);
  EXPECT_EQ(scratch.names(), Names{"big.txt"});
}

// An edit that keeps the length writes only the blocks it changes: whatever
// the blocks' edges, and when more change than its table holds, the file
// comes out whole; a file with holes keeps those it did not change.
TEST_F(CommandLine, EditsThatKeepTheLengthWriteWhatChanged) {
  constexpr std::size_t kBlock = 4096;
  struct Case {
    const char* name;
    std::size_t size;
    std::vector<std::size_t> needles;
  };
  std::vector<std::size_t> many;  // more changed blocks than the table holds
  for (std::size_t block = 0; block < 3000; block += 2) many.push_back(block * kBlock + 100);
  const std::vector<Case> cases = {
      {"at block edges",
       8 * kBlock,
       {0, kBlock - 3, 2 * kBlock, 3 * kBlock - 6, 5 * kBlock - 1, 8 * kBlock - 6}},
      {"more blocks than the table holds", 3001 * kBlock, many},
  };
  for (const Case& edit_case : cases) {
    SCOPED_TRACE(edit_case.name);
    std::string content(edit_case.size, '.');
    for (const std::size_t at : edit_case.needles) content.replace(at, 6, "needle");
    scratch.write("notes.txt", content);
    expect_run({"/rt", "notes.txt", "needle", "thread"}, "", 0);
    EXPECT_TRUE(scratch.read("notes.txt") == replace_all(content, "needle", "thread"));
  }
  if (scratch.windows()) return;  // Wine keeps no holes
  // A hole of 1 MiB after the first block, which the edit does not change.
  const int fd = ::open(scratch.path("sparse.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(::pwrite(fd, "a cat.", 6, 0), 6);
  ASSERT_EQ(::ftruncate(fd, 1 << 20), 0);
  ::close(fd);
  const std::string sparse = scratch.read("sparse.txt");
  expect_run({"/rt", "sparse.txt", "cat", "dog"}, "", 0);
  EXPECT_TRUE(scratch.read("sparse.txt") == "a dog." + sparse.substr(6));
  EXPECT_LE(status_of(scratch.path("sparse.txt")).st_blocks * 512, 64 * 1024);
}

TEST_F(CommandLine, ExistingTemporaryNamesAreNeverTouched) {
  scratch.write("notes.txt", "a cat");
  scratch.write("notes.txt.tmp", "precious");
  scratch.write("other.txt", "also precious");
  ASSERT_EQ(::symlink("other.txt", scratch.path("notes.txt.1.tmp").c_str()), 0);
  expect_run({"/rt", "notes.txt", "cat", "dog"}, "", 0);
  EXPECT_EQ(scratch.read("notes.txt"), "a dog");
  EXPECT_EQ(scratch.read("notes.txt.tmp"), "precious");
  EXPECT_EQ(scratch.read("other.txt"), "also precious");
  EXPECT_EQ(scratch.names(), (Names{"notes.txt", "notes.txt.1.tmp", "notes.txt.tmp", "other.txt"}));

  // With every name taken the edit is refused.
  for (int n = 2; n <= 99; ++n) scratch.write("notes.txt." + std::to_string(n) + ".tmp", "taken");
  expect_run({"/rt", "notes.txt", "dog", "cat"}, "\nCannot write temporary file!\n", 253);
  EXPECT_EQ(scratch.read("notes.txt"), "a dog");
  EXPECT_EQ(scratch.read("notes.txt.99.tmp"), "taken");
  EXPECT_EQ(scratch.names().size(), 102u);  // the target, other.txt and 100 names
}

TEST_F(CommandLine, TargetThatCannotBeOpenedForUpdateIsRefused) {
  ASSERT_EQ(::mkdir(scratch.path("directory").c_str(), 0755), 0);
  expect_run({"/rt", "directory", "cat", "dog"}, "\nCannot open file!\n", 253);
  EXPECT_EQ(scratch.names("directory"), Names{});
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;

  ASSERT_EQ(::symlink("nowhere.txt", scratch.path("dangling.txt").c_str()), 0);
  scratch.write("locked.txt", "a cat");
  ASSERT_EQ(::chmod(scratch.path("locked.txt").c_str(), 0444), 0);
  expect_run({"/rt", "dangling.txt", "cat", "dog"}, "\nCannot open file!\n", 253);
  expect_run({"/rt", "locked.txt", "cat", "dog"}, "\nCannot open file!\n", 253,
             {.unprivileged = true});
  expect_run({"/rt", "/dev/null", "cat", "dog"}, "\nCannot open file!\n", 253);
  EXPECT_EQ(scratch.read("locked.txt"), "a cat");
  EXPECT_EQ(scratch.names(), (Names{"dangling.txt", "directory", "locked.txt"}));
}

TEST_F(CommandLine, TemporaryFileThatCannotBeWrittenLeavesTheTargetUnchanged) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  // A file size limit stops the temporary file part way.
  scratch.write("notes.txt", std::string(3000, 'a'));
  expect_run({"/rt", "notes.txt", "a", "aa"}, "\nCannot write temporary file!\n", 253,
             {.file_size_limit = 4096});
  EXPECT_EQ(scratch.read("notes.txt"), std::string(3000, 'a'));
  EXPECT_EQ(scratch.names(), Names{"notes.txt"});

  // A directory that cannot be written to cannot hold it.
  ASSERT_EQ(::chmod(scratch.path("notes.txt").c_str(), 0666), 0);
  ASSERT_EQ(::chmod(scratch.work().c_str(), 0555), 0);
  expect_run({"/rt", "notes.txt", "a", "b"}, "\nCannot write temporary file!\n", 253,
             {.unprivileged = true});
  EXPECT_EQ(scratch.read("notes.txt"), std::string(3000, 'a'));
  EXPECT_EQ(scratch.names(), Names{"notes.txt"});
}

// A small file system of its own, so that the disk can be filled at will.
class FullDisk : public CommandLine {
 protected:
  void mount_disk(const char* size) {
    const std::string options = "size="s + size;
    ASSERT_EQ(::mkdir(scratch.path("disk").c_str(), 0755), 0);
    if (::mount("zibel-test", scratch.path("disk").c_str(), "tmpfs", 0, options.c_str()) != 0) {
      GTEST_SKIP() << "cannot mount a file system here (needs root)";
    }
    mounted_ = true;
  }
  // An XFS image in memory, on a loop device, where blocks can be shared.
  void mount_xfs_image() {
    ASSERT_EQ(::mkdir(scratch.path("disk").c_str(), 0755), 0);
    image_ = scratch.path("../xfs.img");
    const std::string make = "truncate -s 300M '" + image_ + "' && mkfs.xfs -q '" + image_ +
                             "' 2>/dev/null && mount -o loop '" + image_ + "' '" +
                             scratch.path("disk") + "' 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
      GTEST_SKIP() << "cannot make an XFS image here (needs root, xfsprogs and loop devices)";
    }
    mounted_ = true;
  }
  // Fills the disk with disk/filler but for `bytes`.
  void fill_disk_but(off_t bytes) {
    struct statvfs disk {};
    ASSERT_EQ(::statvfs(scratch.path("disk").c_str(), &disk), 0);
    const auto free_bytes = static_cast<off_t>(disk.f_bavail * disk.f_frsize);
    const int filler = ::open(scratch.path("disk/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::fallocate(filler, 0, 0, free_bytes - bytes), 0);
    ::close(filler);
  }
  void TearDown() override {
    if (mounted_) ::umount2(scratch.path("disk").c_str(), MNT_DETACH);
    if (!image_.empty()) std::remove(image_.c_str());
  }

  bool mounted_ = false;
  std::string image_;
};

TEST_F(FullDisk, NoRoomForTheTemporaryFileLeavesTheTargetUnchanged) {
  mount_disk("20k");
  if (!mounted_) return;
  scratch.write("disk/notes.txt", std::string(8192, 'a'));
  expect_run({"/rt", "disk/notes.txt", "a", "aa"}, "\nCannot write temporary file!\n", 253);
  EXPECT_EQ(scratch.read("disk/notes.txt"), std::string(8192, 'a'));
  EXPECT_EQ(scratch.names("disk"), Names{"notes.txt"});
}

// Room for the grown target is set aside before it is touched: a disk too
// full for it refuses the edit and leaves the target whole.
TEST_F(FullDisk, NoRoomToGrowTheTargetLeavesItUntouched) {
  if (scratch.windows()) GTEST_SKIP() << "Wine cannot set room aside for a file";
  mount_disk("28k");
  if (!mounted_) return;
  scratch.write("disk/notes.txt", std::string(8192, 'a'));
  expect_run({"/rt", "disk/notes.txt", "a", "aa"}, "\nCannot update file!\n", 253);
  EXPECT_EQ(scratch.read("disk/notes.txt"), std::string(8192, 'a'));
  EXPECT_EQ(scratch.names("disk"), Names{"notes.txt"});
}

// A file with holes needs space where the holes were once it is rewritten from
// the first change on: a disk too full for that refuses the edit and leaves
// the target whole. Also when the file has blocks kept past its end
// (fallocate -n, as loggers and downloaders do), as many as it has holes.
TEST_F(FullDisk, NoRoomToFillTheHolesOfASparseTargetLeavesItUntouched) {
  if (scratch.windows()) GTEST_SKIP() << "Wine cannot set room aside for a file";
  mount_disk("48k");
  if (!mounted_) return;
  const std::string original = "cat" + std::string(19997, '\0');
  for (const bool kept_past_end : {false, true}) {
    SCOPED_TRACE(kept_past_end ? "blocks kept past the end" : "holes only");
    for (const std::string& name : scratch.names("disk")) {
      std::remove(scratch.path("disk/" + name).c_str());
    }
    const int fd = ::open(scratch.path("disk/notes.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "cat", 3), 3);
    ASSERT_EQ(::ftruncate(fd, 20000), 0);  // the rest is a hole, no space taken
    // 16 KiB of the disk taken: by blocks past the end, or by another file.
    if (kept_past_end) {
      ASSERT_EQ(::fallocate(fd, FALLOC_FL_KEEP_SIZE, 20480, 16384), 0);
    } else {
      scratch.write("disk/other", std::string(16384, 'o'));
    }
    ::close(fd);
    expect_run({"/rt", "disk/notes.txt", "cat", "tiger"}, "\nCannot update file!\n", 253);
    EXPECT_TRUE(scratch.read("disk/notes.txt") == original);
    EXPECT_EQ(scratch.names("disk").size(), kept_past_end ? 1u : 2u);
  }
}

// Blocks the target shares with a copy (cp clones them on XFS) need new
// blocks when they are overwritten (from the first change on, where the length
// changes): on a disk too full for them the edit is refused with the target
// whole, not torn part way.
TEST_F(FullDisk, NoRoomToUnshareTheBlocksOfAClonedTargetLeavesItUntouched) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  mount_xfs_image();
  if (!mounted_) return;
  const std::string original = "cat" + std::string((4u << 20) - 3, 'c');
  scratch.write("disk/notes.txt", original);
  ASSERT_EQ(std::system(("cp --reflink=always '" + scratch.path("disk/notes.txt") + "' '" +
                         scratch.path("disk/clone.txt") + "'")
                            .c_str()),
            0);
  // The disk full but for room for the temporary file and a little more.
  fill_disk_but(5 << 20);
  expect_run({"/rt", "disk/notes.txt", "cat", "tiger"}, "\nCannot update file!\n", 253);
  EXPECT_TRUE(scratch.read("disk/notes.txt") == original);
  EXPECT_TRUE(scratch.read("disk/clone.txt") == original);
  EXPECT_EQ(scratch.names("disk"), (Names{"clone.txt", "filler", "notes.txt"}));
}

// An edit that keeps the length needs room only for the blocks it changes:
// its temporary file shares every other block with the target (XFS), so a
// disk with less room than the file still takes an edit of one block.
TEST_F(FullDisk, AnEditThatKeepsTheLengthNeedsRoomOnlyForTheBlocksItChanges) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  mount_xfs_image();
  if (!mounted_) return;
  const std::string original = "cat" + std::string((32u << 20) - 3, 'c');
  scratch.write("disk/notes.txt", original);
  fill_disk_but(8 << 20);
  expect_run({"/rt", "disk/notes.txt", "cat", "dog"}, "", 0);
  EXPECT_TRUE(scratch.read("disk/notes.txt") == "dog" + original.substr(3));
  EXPECT_EQ(scratch.names("disk"), (Names{"filler", "notes.txt"}));
}

// A pipe or device is refused before it is opened: a writer waiting on a
// pipe stays waiting, its data undelivered.
TEST_F(CommandLine, APipeIsRefusedWithoutBeingOpened) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  const std::string fifo = scratch.path("pipe.txt");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  const pid_t writer = ::fork();
  if (writer == 0) {
    const int fd = ::open(fifo.c_str(), O_WRONLY);  // waits for a reader
    ::_exit(fd >= 0 && ::write(fd, "data", 4) == 4 ? 0 : 1);
  }
  ASSERT_GT(writer, 0);
  ::usleep(100000);
  expect_run({"/rt", "pipe.txt", "cat", "dog"}, "\nCannot open file!\n", 253);
  ::usleep(100000);
  int status = 0;
  EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0) << "the writer was released";
  // The test is the reader the writer waited for (without waiting itself,
  // should the writer be gone).
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_EQ(::waitpid(writer, &status, 0), writer);
  char data[8] = {};
  EXPECT_EQ(::read(reader, data, sizeof data), 4);
  ::close(reader);
  EXPECT_EQ(std::string(data), "data");
}

// A file that exists in a directory that cannot be searched is not "not found":
// that cannot be told, and the open says what is wrong.
TEST_F(CommandLine, AFileInADirectoryThatCannotBeSearchedCannotBeOpened) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  ASSERT_EQ(::mkdir(scratch.path("private").c_str(), 0700), 0);
  scratch.write("private/notes.txt", "a cat");
  // No one but root may search it, whoever runs the tests.
  ASSERT_EQ(::chmod(scratch.path("private").c_str(), 0), 0);
  expect_run({"/rt", "private/notes.txt", "cat", "dog"}, "\nCannot open file!\n", 253,
             {.unprivileged = true});
  ASSERT_EQ(::chmod(scratch.path("private").c_str(), 0700), 0);
  EXPECT_EQ(scratch.read("private/notes.txt"), "a cat");
}

// The temporary file goes beside the file a link leads to, which is where the
// user may write, on the file system of the data it protects.
TEST_F(CommandLine, EditsThroughALinkInADirectoryThatCannotBeWritten) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  ASSERT_EQ(::mkdir(scratch.path("links").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(scratch.path("data").c_str(), 0777), 0);
  ASSERT_EQ(::chmod(scratch.path("data").c_str(), 0777), 0);
  scratch.write("data/notes.txt", "a cat");
  ASSERT_EQ(::chmod(scratch.path("data/notes.txt").c_str(), 0666), 0);
  ASSERT_EQ(::symlink("../data/notes.txt", scratch.path("links/notes.txt").c_str()), 0);
  ASSERT_EQ(::symlink("links/notes.txt", scratch.path("chain.txt").c_str()), 0);
  expect_run({"/rt", "links/notes.txt", "cat", "dog"}, "", 0, {.unprivileged = true});
  expect_run({"/rt", "chain.txt", "dog", "bird"}, "", 0, {.unprivileged = true});
  EXPECT_EQ(scratch.read("data/notes.txt"), "a bird");
  EXPECT_EQ(scratch.names("data"), Names{"notes.txt"});
  EXPECT_EQ(scratch.names("links"), Names{"notes.txt"});
}

// A name at the file system's limit leaves no room for ".tmp": the temporary
// file gets a shortened name, still one that nothing else has.
TEST_F(CommandLine, EditsFilesWithTheLongestNames) {
  for (const std::size_t length : {252u, 253u, 254u, 255u}) {
    const std::string name = std::string(length - 4, 'n') + ".txt";
    SCOPED_TRACE(length);
    scratch.write(name, "a cat");
    // The shortened name is taken already: the next one is used.
    scratch.write(std::string(251, 'n') + ".tmp", "taken");
    expect_run({"/rt", name, "cat", "dog"}, "", 0);
    EXPECT_EQ(scratch.read(name), "a dog");
    EXPECT_EQ(scratch.read(std::string(251, 'n') + ".tmp"), "taken");
    EXPECT_EQ(scratch.names().size(), 2u);
    std::remove(scratch.path(name).c_str());
  }
}

// The longest path the tool takes, 2,043 bytes, leaves room for ".tmp" in its
// field but not for a numbered name: with ".tmp" taken, the last name is cut
// so that "<path>.1.tmp" fits.
TEST_F(CommandLine, EditsAFileAtTheLongestPathWhoseTemporaryNameIsTaken) {
  std::string directory;
  for (int level = 0; level < 9; ++level) directory += std::string(203, 'd') + "/";
  fs::create_directories(scratch.path(directory));
  const std::string path = directory + std::string(207, 'n');
  ASSERT_EQ(path.size(), 2043u);
  scratch.write(path, "a cat");
  scratch.write(path + ".tmp", "taken");
  expect_run({"/rt", path, "cat", "dog"}, "", 0);
  EXPECT_EQ(scratch.read(path), "a dog");
  EXPECT_EQ(scratch.read(path + ".tmp"), "taken");
  EXPECT_EQ(scratch.names(directory).size(), 2u);
}

// Names and encodings. Windows gives the command line in UTF-16: a name may
// hold any character and be longer than MAX_PATH, and the strings are matched
// as bytes of the ANSI code page (1252 under Wine here), never through a
// look-alike. On Linux names and strings are bytes as they are.

TEST_F(CommandLine, FilesNamedInAnyScriptAreEdited) {
  std::string longest;  // 253 bytes of UTF-8, 87 UTF-16 units
  for (int i = 0; i < 83; ++i) longest += "日";
  const std::vector<std::string> names = {"日本語.txt", "σημειώσεις.txt", "my café notes.txt",
                                          "naïve – ñ.txt", longest + ".txt"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    scratch.write(name, "a cat");
    expect_run({"/rt", name, "cat", "dog"}, "", 0);
    EXPECT_EQ(scratch.read(name), "a dog");
  }
  EXPECT_EQ(scratch.names().size(), names.size());
}

// A fullwidth letter must not find the file named with a plain one.
TEST_F(CommandLine, ANameThatLooksLikeAnotherDoesNotReachIt) {
  scratch.write("Notes.txt", "hello");
  expect_run({"/rt", "Ｎotes.txt", "hello", "bye"}, "\nFile not found!\n", 254);
  EXPECT_EQ(scratch.read("Notes.txt"), "hello");
  EXPECT_EQ(scratch.names(), Names{"Notes.txt"});
}

// Relative paths of about 300 and 1,000 bytes, through "." and "..": longer
// than MAX_PATH once the current directory is put before them.
TEST_F(CommandLine, LongPathsAreEdited) {
  for (const std::size_t length : {300u, 1000u}) {
    SCOPED_TRACE(length);
    const std::string name(60, 'd');
    std::string directory = "deep" + std::to_string(length);
    while (directory.size() + name.size() + 20 < length) directory += "/" + name;
    fs::create_directories(scratch.path(directory));
    scratch.write(directory + "/notes.txt", "a cat");
    const std::string path = directory + "/../" + name + "/./notes.txt";
    EXPECT_GE(path.size(), length - 20);
    expect_run({"/rt", path, "cat", "dog"}, "", 0);
    EXPECT_EQ(scratch.read(directory + "/notes.txt"), "a dog");
    EXPECT_EQ(scratch.names(directory), Names{"notes.txt"});
  }
}

// The path's limit counts the bytes of its UTF-8 form, which Windows names
// take too.
TEST_F(CommandLine, ThePathLimitCountsUtf8Bytes) {
  std::string path;
  while (path.size() < 2044) path += "é";
  expect_run({"/rt", path, "cat", "dog"}, "\nArgument too long!\n", 255);
  path.resize(2042);
  expect_run({"/rt", path, "cat", "dog"}, "\nFile not found!\n", 254);
}

TEST_F(CommandLine, StringsAreAnsiBytesAndNeverLookAlikes) {
  if (!scratch.windows()) GTEST_SKIP() << "Linux matches the strings' bytes as they are";
  // Written by an ANSI program in code page 1252: "é" is the byte 0xE9.
  const std::string content = "hello l \"hi\" ?? caf\xE9\n";
  scratch.write("notes.txt", content);
  // "ł" would be a plain "l", the fullwidth quotes plain ones, and the
  // Japanese characters '?'.
  for (const std::string& old_string : {"ł"s, "＂hi＂"s, "日本"s}) {
    SCOPED_TRACE(old_string);
    expect_run({"/rt", "notes.txt", old_string, "X"}, "\nArgument not representable!\n", 255);
  }
  expect_run({"/rt", "notes.txt", "hello", "ł"}, "\nArgument not representable!\n", 255);
  EXPECT_EQ(scratch.read("notes.txt"), content);
  EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  // Checked after the lengths, before the empty old string and the file.
  expect_run({"/rt", "missing.txt", "ł" + std::string(2047, 'x'), "X"}, "\nArgument too long!\n",
             255);
  expect_run({"/rt", "missing.txt", "", "ł"}, "\nArgument not representable!\n", 255);
  expect_run({"/rt", "missing.txt", "cat", "ł"}, "\nArgument not representable!\n", 255);

  expect_run({"/rt", "notes.txt", "é", "E"}, "", 0);
  EXPECT_EQ(scratch.read("notes.txt"), "hello l \"hi\" ?? cafE\n");
}

// A device is refused by its name; looking at it could already reach it.
TEST_F(CommandLine, DeviceNamesAreRefused) {
  if (!scratch.windows()) GTEST_SKIP() << "Windows device names";
  for (const char* device : {"NUL", "con", "COM1", "directory\\LPT1", R"(\\.\NUL)", R"(\\?\NUL)"}) {
    SCOPED_TRACE(device);
    expect_run({"/rt", device, "cat", "dog"}, "\nCannot open file!\n", 253);
  }
  EXPECT_EQ(scratch.names(), Names{});
}

// A link may lead an open to a named pipe, whose server could then act as the
// user who runs the tool: every open of the named path, or of a name formed
// from it, lets a server only identify the user (SECURITY_SQOS_PRESENT |
// SECURITY_IDENTIFICATION), and none is looked up by a call that cannot say so
// (GetFileAttributesW). Wine's file trace shows each call with its flags; the
// first temporary name is taken, so that the look at a taken name is seen too.
TEST_F(CommandLine, EveryOpenOfTheNamedPathLetsAPipeOnlyIdentifyTheUser) {
  if (!scratch.windows()) GTEST_SKIP() << "Windows opens";
  scratch.write("notes.txt", "a cat");
  scratch.write("notes.txt.tmp", "taken");
  RunOptions options;
  options.environment = {"WINEDEBUG=trace+file"};
  RunResult result = scratch.run({"/rt", "notes.txt", "cat", "dog"}, options);
  // Status 1 is never the program's own: Wine failed to start it, as it did
  // once in CI with its trace on. Such a run touched nothing; it is made again.
  if (result.status == 1) result = scratch.run({"/rt", "notes.txt", "cat", "dog"}, options);
  EXPECT_EQ(result.status, 0) << result.err.substr(0, 2000);
  EXPECT_EQ(scratch.read("notes.txt"), "a dog");
  constexpr unsigned long kIdentifyOnly = 0x00100000 | 0x00010000;
  int opens = 0;
  std::istringstream trace(result.err);
  for (std::string line; std::getline(trace, line);) {
    if (line.find("notes.txt") == std::string::npos) continue;
    EXPECT_EQ(line.find(":GetFileAttributesW "), std::string::npos) << line;
    const std::size_t flags = line.find(" attributes 0x");
    if (line.find(":CreateFileW L\"") == std::string::npos || flags == std::string::npos) continue;
    ++opens;
    EXPECT_EQ(std::stoul(line.substr(flags + 12), nullptr, 16) & kIdentifyOnly, kIdentifyOnly)
        << line;
  }
  // The target looked at and opened, the taken name looked at, and the
  // temporary file made.
  EXPECT_GE(opens, 4);
}

// A closed pipe on standard output costs only the message: the status still
// tells what happened.
TEST_F(CommandLine, AClosedPipeCostsOnlyTheMessage) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  RunOptions options;
  options.output = RunOptions::Output::broken_pipe;
  expect_run({"/rt", "missing.txt", "cat", "dog"}, "", 254, options);
  expect_run({}, "", 255, options);
}

// A file another program holds a lease on (a file server's cached copy, say)
// is edited once that program has given the lease up, as any writer waits for
// it; it is not refused.
int leased_file = -1;
extern "C" void give_up_lease(int) {
  (void)::fcntl(leased_file, F_SETLEASE, F_UNLCK);
}

TEST_F(CommandLine, AnEditWaitsForALeaseToBeGivenUp) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  scratch.write("notes.txt", "a cat");
  leased_file = ::open(scratch.path("notes.txt").c_str(), O_RDONLY);
  ASSERT_GE(leased_file, 0);
  const auto previous = ::signal(SIGIO, give_up_lease);
  if (::fcntl(leased_file, F_SETLEASE, F_RDLCK) != 0) {
    ::signal(SIGIO, previous);
    ::close(leased_file);
    GTEST_SKIP() << "no leases here";
  }
  expect_run({"/rt", "notes.txt", "cat", "dog"}, "", 0);
  ::signal(SIGIO, previous);
  ::close(leased_file);
  EXPECT_EQ(scratch.read("notes.txt"), "a dog");
}

// Other programs' locks on the file do not hold an edit up: a classic fcntl
// lock on its first byte, as lockf(3) takes one, leaves the byte far past the
// end that runs of the tool lock free.
TEST_F(CommandLine, AnEditIsNotHeldUpByAnotherProgramsLock) {
  if (scratch.windows()) GTEST_SKIP() << kPosixOnly;
  scratch.write("notes.txt", "a cat");
  const int held = ::open(scratch.path("notes.txt").c_str(), O_RDWR);
  struct flock first_byte {};
  first_byte.l_type = F_WRLCK;
  first_byte.l_whence = SEEK_SET;
  first_byte.l_start = 0;
  first_byte.l_len = 1;
  ASSERT_EQ(::fcntl(held, F_SETLK, &first_byte), 0);
  const Started run = scratch.start({"/rt", "notes.txt", "cat", "dog"});
  const auto result = scratch.wait_for(run, std::chrono::seconds(10));
  ::close(held);
  ASSERT_TRUE(result.has_value()) << "the edit waited for the other program's lock";
  EXPECT_EQ(result->status, 0);
  EXPECT_EQ(scratch.read("notes.txt"), "a dog");
}

}  // namespace
}  // namespace zibel::testing
