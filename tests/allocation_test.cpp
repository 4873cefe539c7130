// The tool's own logic makes no heap allocations: a whole run, in-process,
// with the C library's allocator replaced by one that counts its calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "frontend/command_line.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
}

namespace {
bool counting = false;
int allocations = 0;
}  // namespace

extern "C" {
void* malloc(std::size_t size) {
  allocations += counting;
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  allocations += counting;
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
  allocations += counting;
  return __libc_realloc(pointer, size);
}
void free(void* pointer) {
  __libc_free(pointer);
}
}

namespace {

namespace fs = std::filesystem;

// Runs the tool's entry routine and returns how many allocations it made.
int allocations_of_run(std::initializer_list<const char*> arguments) {
  const std::vector<const char*> argv(arguments);
  allocations = 0;
  counting = true;
  zibel::run_command_line(static_cast<int>(argv.size()), argv.data());
  counting = false;
  return allocations;
}

TEST(Allocation, RunsMakeNoHeapAllocations) {
  const fs::path directory =
      fs::temp_directory_path() / ("zibel-allocation-" + std::to_string(::getpid()));
  fs::create_directories(directory);
  const std::string target = (directory / "notes.txt").string();
  std::ofstream(target) << "a cat, a cat" << std::string(3u << 20, '.') << "cat";

  EXPECT_EQ(allocations_of_run({"zibel", "/rt", target.c_str(), "cat", "dog"}), 0);
  std::ifstream file(target);
  const std::string content{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(content, "a dog, a dog" + std::string(3u << 20, '.') + "dog");

  // The refusals print; their rows go to /dev/null here.
  const int saved_out = ::dup(1);
  const int null = ::open("/dev/null", O_WRONLY);
  ASSERT_GE(::dup2(null, 1), 0);
  EXPECT_EQ(allocations_of_run({"zibel", "/x"}), 0);
  EXPECT_EQ(allocations_of_run({"zibel", "/rt", (directory / "missing").c_str(), "cat", "dog"}), 0);
  ::dup2(saved_out, 1);
  ::close(null);
  ::close(saved_out);
  fs::remove_all(directory);
}

}  // namespace
