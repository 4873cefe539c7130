// A power cut at any moment of an edit: the file system calls of a real edit
// are recorded as the kernel sees them (strace), and for every point the
// power may be cut at, every state the disk may then hold is made in a scratch
// directory, under this model:
//   - data written to a file since it was last flushed may be lost in blocks
//     of 4 KiB, in any combination (a block lost holds what it held before);
//   - names and file lengths change in the order the program made them, and
//     any prefix of those changes may have reached the disk;
//   - a flush of a file (fsync) makes its data and length durable, a flush of
//     a directory the names in it;
//   - a copy the kernel makes (copy_file_range) is a write of the bytes it
//     copies, and so is a clone (FICLONE), whose shared blocks the trace does
//     not show: a write of the whole file it clones; preallocation
//     (fallocate) changes no byte; a file made with O_TMPFILE has no name
//     until linkat gives it one.
// One more run of the tool must then leave the target with its old or its new
// content and no other file.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "rewrite/commit_record.h"
#include "zibel_runner.h"

namespace zibel::testing {
namespace {

using Names = std::vector<std::string>;
constexpr std::size_t kBlock = 4096;

// One change the edit made to what the disk holds, in program order.
struct Change {
  enum Kind { data, length, link, unlink, flush_file, flush_names } kind;
  std::size_t file = 0;  // the file it changes or flushes, for those that do
  std::size_t offset = 0;
  std::string bytes;         // data
  std::size_t new_size = 0;  // length
  std::string name;          // link, unlink
};

// What strace prints with -xx: every byte of a string as \xNN.
std::string unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
    bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
  }
  return bytes;
}

// The quoted strings and the numbers of a traced call's arguments, in order.
struct Call {
  std::string name;
  std::vector<std::string> strings;
  std::vector<long long> numbers;  // every number outside a string
  long long result = -1;
};

Call parse(const std::string& line) {
  Call call;
  const std::size_t open = line.find('(');
  const std::size_t equals = line.rfind(" = ");
  const std::size_t close = line.rfind(')', equals);
  call.name = line.substr(0, open);
  call.result = std::stoll(line.substr(equals + 3));
  const std::string arguments = line.substr(open + 1, close - open - 1);
  for (std::size_t i = 0; i < arguments.size();) {
    if (arguments[i] == '"') {
      const std::size_t end = arguments.find('"', i + 1);
      call.strings.push_back(unescape(arguments.substr(i + 1, end - i - 1)));
      i = end + 1;
    } else if (std::isdigit(static_cast<unsigned char>(arguments[i])) ||
               (arguments[i] == '-' && i + 1 < arguments.size() &&
                std::isdigit(arguments[i + 1]))) {
      std::size_t length = 0;
      call.numbers.push_back(std::stoll(arguments.substr(i), &length));
      i += length;
    } else {
      ++i;
    }
  }
  if (arguments.find("AT_FDCWD") == 0) call.numbers.insert(call.numbers.begin(), -100);
  return call;
}

// The changes an edit made, from its trace. Files are numbered as they are
// met: 0 is the target, present from the start; directories are not files.
std::vector<Change> changes_of(const std::string& trace, const std::string& target,
                               std::size_t target_size) {
  std::vector<Change> changes;
  std::map<long long, std::size_t> files;  // descriptor to file
  std::set<long long> directories;
  std::map<long long, std::string> looked;  // O_PATH descriptors, by what they name
  std::size_t next_file = 1;
  std::vector<std::size_t> sizes(1, target_size);
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    if (line.find(" = ") == std::string::npos || line.find(" = -1 ") != std::string::npos) continue;
    const Call call = parse(line);
    const long long fd = call.numbers.empty() ? -1 : call.numbers[0];
    if (call.name == "openat") {
      const std::string& path = call.strings.at(0);
      if (line.find("O_DIRECTORY") != std::string::npos &&
          line.find("O_TMPFILE") == std::string::npos) {
        directories.insert(call.result);
      } else if (line.find("O_PATH") != std::string::npos) {
        looked[call.result] = path;
      } else if (path.rfind("/proc/self/fd/", 0) == 0) {
        const long long original = std::stoll(path.substr(14));
        if (looked.count(original) && looked[original] == target) files[call.result] = 0;
      } else if (path == target) {
        files[call.result] = 0;
      } else if (line.find("O_TMPFILE") != std::string::npos ||
                 line.find("O_CREAT") != std::string::npos) {
        files[call.result] = next_file++;
        sizes.push_back(0);
        if (line.find("O_CREAT") != std::string::npos) {
          changes.push_back({Change::link, files[call.result], 0, "", 0, path});
        }
      }
    } else if (call.name == "pwrite64" && files.count(fd)) {
      const std::size_t file = files[fd];
      const std::size_t offset = static_cast<std::size_t>(call.numbers.back());
      const std::string bytes = call.strings.at(0).substr(0, static_cast<std::size_t>(call.result));
      changes.push_back({Change::data, file, offset, bytes, 0, ""});
      if (offset + bytes.size() > sizes[file]) {
        sizes[file] = offset + bytes.size();
        changes.push_back({Change::length, file, 0, "", sizes[file], ""});
      }
    } else if (call.name == "copy_file_range" && files.count(fd) && files.count(call.numbers[2])) {
      // copy_file_range(in, [in offset], out, [out offset], length, flags)
      changes.push_back({Change::data, files[call.numbers[2]],
                         static_cast<std::size_t>(call.numbers[3]),
                         "copy:" + std::to_string(files[fd]) + ":" +
                             std::to_string(call.numbers[1]) + ":" + std::to_string(call.result),
                         0, ""});
      const std::size_t out = files[call.numbers[2]];
      const auto end = static_cast<std::size_t>(call.numbers[3] + call.result);
      if (end > sizes[out]) {
        sizes[out] = end;
        changes.push_back({Change::length, out, 0, "", end, ""});
      }
    } else if (call.name == "ioctl" && line.find("FICLONE") != std::string::npos &&
               files.count(fd) && files.count(call.numbers.at(1))) {
      // The whole of the other file, its blocks shared: as a copy of it.
      const std::size_t from = files[call.numbers[1]];
      const std::size_t to = files[fd];
      changes.push_back({Change::data, to, 0,
                         "copy:" + std::to_string(from) + ":0:" + std::to_string(sizes[from]), 0,
                         ""});
      sizes[to] = sizes[from];
      changes.push_back({Change::length, to, 0, "", sizes[to], ""});
    } else if ((call.name == "ftruncate" || call.name == "ftruncate64") && files.count(fd)) {
      sizes[files[fd]] = static_cast<std::size_t>(call.numbers[1]);
      changes.push_back({Change::length, files[fd], 0, "", sizes[files[fd]], ""});
    } else if ((call.name == "fsync" || call.name == "fdatasync") && files.count(fd)) {
      changes.push_back({Change::flush_file, files[fd], 0, "", 0, ""});
    } else if (call.name == "fsync" && directories.count(fd)) {
      changes.push_back({Change::flush_names, 0, 0, "", 0, ""});
    } else if (call.name == "linkat") {
      const long long named = std::stoll(call.strings.at(0).substr(14));
      changes.push_back({Change::link, files.at(named), 0, "", 0, call.strings.at(1)});
    } else if (call.name == "unlinkat") {
      changes.push_back({Change::unlink, 0, 0, "", 0, call.strings.at(0)});
    } else if (call.name == "close") {
      files.erase(fd);
      directories.erase(fd);
      looked.erase(fd);
    }
  }
  return changes;
}

// What the disk may hold: each named file's content.
using DiskState = std::map<std::string, std::string>;

// Every state the disk may hold when the power is cut after the first `cut`
// changes, `target_old` being the target's content before the edit.
std::vector<DiskState> states_after(const std::vector<Change>& changes, std::size_t cut,
                                    const std::string& target, const std::string& target_old) {
  // The content each file has in memory after each change, and on disk as of
  // its last flush before the cut.
  std::vector<std::string> memory(1, target_old);
  std::vector<std::string> durable(1, target_old);
  std::vector<std::set<std::size_t>> dirty(1);  // blocks written since the last flush
  std::vector<std::size_t> metadata;            // indices of length and name changes
  std::vector<bool> metadata_durable;
  for (std::size_t i = 0; i < cut; ++i) {
    const Change& change = changes[i];
    const auto grow = [&](std::size_t file) {
      while (memory.size() <= file) {
        memory.emplace_back();
        durable.emplace_back();
        dirty.emplace_back();
      }
    };
    grow(change.file);
    switch (change.kind) {
      case Change::data: {
        std::string bytes = change.bytes;
        if (bytes.rfind("copy:", 0) == 0) {  // copy:<from>:<offset>:<length>
          const std::size_t a = bytes.find(':', 5);
          const std::size_t b = bytes.find(':', a + 1);
          const std::size_t from = std::stoul(bytes.substr(5, a - 5));
          bytes = memory[from].substr(std::stoul(bytes.substr(a + 1, b - a - 1)),
                                      std::stoul(bytes.substr(b + 1)));
        }
        std::string& content = memory[change.file];
        if (content.size() < change.offset + bytes.size())
          content.resize(change.offset + bytes.size());
        content.replace(change.offset, bytes.size(), bytes);
        for (std::size_t block = change.offset / kBlock;
             block * kBlock < change.offset + bytes.size(); ++block) {
          dirty[change.file].insert(block);
        }
        break;
      }
      case Change::length:
        memory[change.file].resize(change.new_size);
        metadata.push_back(i);
        metadata_durable.push_back(false);
        break;
      case Change::link:
      case Change::unlink:
        metadata.push_back(i);
        metadata_durable.push_back(false);
        break;
      case Change::flush_file:
        durable[change.file] = memory[change.file];
        dirty[change.file].clear();
        for (std::size_t m = 0; m < metadata.size(); ++m) {
          if (changes[metadata[m]].kind == Change::length &&
              changes[metadata[m]].file == change.file) {
            metadata_durable[m] = true;
          }
        }
        break;
      case Change::flush_names:
        for (std::size_t m = 0; m < metadata.size(); ++m) {
          const Change::Kind kind = changes[metadata[m]].kind;
          if (kind == Change::link || kind == Change::unlink) metadata_durable[m] = true;
        }
        break;
    }
  }
  std::vector<DiskState> states;
  // Any prefix of the length and name changes, and those made durable.
  for (std::size_t prefix = 0; prefix <= metadata.size(); ++prefix) {
    std::map<std::string, std::size_t> names = {{target, 0}};
    std::vector<std::size_t> lengths;
    for (const std::string& content : durable) lengths.push_back(content.size());
    lengths[0] = target_old.size();
    for (std::size_t m = 0; m < metadata.size(); ++m) {
      if (m >= prefix && !metadata_durable[m]) continue;
      const Change& change = changes[metadata[m]];
      if (change.kind == Change::length) lengths[change.file] = change.new_size;
      if (change.kind == Change::link) names[change.name] = change.file;
      if (change.kind == Change::unlink) names.erase(change.name);
    }
    // Every combination of the dirty blocks of the files that have a name.
    std::vector<std::pair<std::size_t, std::size_t>> blocks;
    for (const auto& [name, file] : names) {
      for (const std::size_t block : dirty[file]) blocks.emplace_back(file, block);
    }
    EXPECT_LE(blocks.size(), 12u) << "too many states to try";
    for (std::size_t mask = 0; mask < (std::size_t{1} << blocks.size()); ++mask) {
      std::vector<std::string> content = durable;
      for (std::size_t k = 0; k < blocks.size(); ++k) {
        if ((mask >> k & 1) == 0) continue;
        const auto [file, block] = blocks[k];
        std::string& bytes = content[file];
        const std::string& now = memory[file];
        const std::size_t end = std::min(now.size(), (block + 1) * kBlock);
        if (bytes.size() < end) bytes.resize(end);
        bytes.replace(block * kBlock, end - block * kBlock, now, block * kBlock,
                      end - block * kBlock);
      }
      DiskState state;
      for (const auto& [name, file] : names) {
        std::string bytes = content[file];
        bytes.resize(lengths[file]);  // past its old end, a lost block reads as zeros
        state[name] = bytes;
      }
      states.push_back(state);
    }
  }
  return states;
}

// Every state a power cut may leave during an edit of `old_string` to
// `new_string` in a file of about 9 KB in `scratch`, and one more run in each.
void try_every_power_cut(const ScratchDirectory& scratch, const std::string& old_string,
                         const std::string& new_string) {
  std::string original;
  for (int line = 0; original.size() < 9000; ++line) {
    original += "line " + std::to_string(line) + (line % 40 == 7 ? " a cat sat\n" : " plain\n");
  }
  const std::string expected = replace_all(original, old_string, new_string);
  scratch.write("notes.txt", original);
  const std::string trace = scratch.path("../trace");
  // A 32-bit program's ftruncate is ftruncate64 to the kernel.
  // LeakSanitizer cannot run under strace; the sanitizers' build runs this too.
  const std::string command =
      "cd '" + scratch.work() + "' && ASAN_OPTIONS=detect_leaks=0 strace -o '" + trace +
      "' -qq -xx -s 1000000 -e trace=openat,pwrite64,copy_file_range,"
      "ioctl,fallocate,ftruncate,ftruncate64,fsync,fdatasync,linkat,"
      "unlinkat,close '" +
      scratch.path("../zibel") + "' /rt notes.txt " + old_string + " " + new_string;
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(scratch.read("notes.txt") == expected);
  const std::vector<Change> changes = changes_of(trace, "notes.txt", original.size());
  ASSERT_FALSE(changes.empty());

  std::size_t tried = 0;
  for (std::size_t cut = 0; cut <= changes.size(); ++cut) {
    for (const DiskState& state : states_after(changes, cut, "notes.txt", original)) {
      // The disk as the power cut left it, the target at its own inode.
      for (const std::string& name : scratch.names()) {
        if (name != "notes.txt") std::remove(scratch.path(name).c_str());
      }
      for (const auto& [name, content] : state) {
        if (name == "notes.txt") {
          std::fstream file(scratch.path(name), std::ios::in | std::ios::out | std::ios::binary);
          file.write(content.data(), static_cast<std::streamsize>(content.size()));
          file.close();
          ASSERT_EQ(::truncate(scratch.path(name).c_str(), static_cast<off_t>(content.size())), 0);
        } else {
          scratch.write(name, content);
          ASSERT_EQ(::chmod(scratch.path(name).c_str(), 0600), 0);
        }
      }
      // The temporary file made afresh stands for the one the run made: a
      // whole record that names that one names it.
      if (state.count("notes.txt.tmp") && state.count("notes.txt.tmp.rec")) {
        CommitRecord record;
        const std::string bytes = state.at("notes.txt.tmp.rec");
        platform::File temporary;
        if (decode(bytes.data(), bytes.size(), record) && record.temporary.provable() &&
            platform::open_for_update(scratch.path("notes.txt.tmp").c_str(), temporary)) {
          ASSERT_TRUE(platform::identity_of(temporary, record.temporary));
          ASSERT_TRUE(platform::close(temporary));
          char stamped[kCommitRecordSize];
          encode(record, stamped);
          scratch.write("notes.txt.tmp.rec", std::string(stamped, sizeof stamped));
        }
      }
      SCOPED_TRACE("cut after change " + std::to_string(cut) + ", state " + std::to_string(tried));
      expect_next_run_leaves_old_or_new(scratch, original, expected);
      ++tried;
      if (::testing::Test::HasFailure()) return;  // one state is enough to tell
    }
  }
  std::cout << old_string << " to " << new_string << ": " << changes.size() << " changes, " << tried
            << " states after a power cut tried\n";
}

// An edit that grows the file, and one that keeps its length and writes only
// the blocks it changes.
TEST(PowerLoss, TheRunAfterAPowerCutLeavesTheOldOrTheNewContent) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
  ScratchDirectory scratch;
  try_every_power_cut(scratch, "cat", "tiger");
  try_every_power_cut(scratch, "cat", "dog");
}

// The same on XFS, where the temporary file of an edit that keeps the length
// is a clone of the target, sharing its blocks.
TEST(PowerLoss, TheRunAfterAPowerCutOnSharedBlocksLeavesTheOldOrTheNewContent) {
  const XfsImage disk;
  if (std::system("strace -V >/dev/null 2>&1") != 0 || !disk.mounted()) {
    GTEST_SKIP() << "needs root, strace, xfsprogs and loop devices";
  }
  const ScratchDirectory scratch(binary_under_test(), disk.mount_point());
  try_every_power_cut(scratch, "cat", "dog");
}

}  // namespace
}  // namespace zibel::testing
