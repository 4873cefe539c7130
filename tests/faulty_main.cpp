// The program with one fault armed, for the tests that break its system calls
// on purpose. Only the tests build it; the real program reads no environment.
//
//   ZIBEL_TEST_FAULT="<operation> <call> <effect> <value>"
//     e.g. "write 2 fail 28": the second write fails with ENOSPC.
//   ZIBEL_TEST_CALLS=<file>: at the end, writes there how many calls of each
//     kind the run made, one "<operation> <count>" line each.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/command_line.h"
#include "platform/faults.h"
#include "platform/platform.h"

namespace faults = zibel::platform::faults;

namespace {

constexpr const char* kOperations[faults::kOperationCount] = {
    "open", "create", "read", "write", "copy", "truncate", "flush", "close", "remove", "lock"};
constexpr const char* kEffects[] = {"none", "fail", "interrupt", "short", "signal"};

template <std::size_t N>
int index_of(const char* const (&names)[N], const char* name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (std::strcmp(names[i], name) == 0) return static_cast<int>(i);
  }
  std::fprintf(stderr, "unknown name in ZIBEL_TEST_FAULT: %s\n", name);
  std::exit(125);
}

void arm_from_environment() {
  const char* text = std::getenv("ZIBEL_TEST_FAULT");
  if (text == nullptr) return;
  char operation[16];
  char effect[16];
  unsigned call = 0;
  int value = 0;
  if (std::sscanf(text, "%15s %u %15s %d", operation, &call, effect, &value) != 4) {
    std::fprintf(stderr, "bad ZIBEL_TEST_FAULT: %s\n", text);
    std::exit(125);
  }
  faults::arm({static_cast<faults::Operation>(index_of(kOperations, operation)), call,
               static_cast<faults::Effect>(index_of(kEffects, effect)), value});
}

void write_calls() {
  const char* path = std::getenv("ZIBEL_TEST_CALLS");
  if (path == nullptr) return;
  FILE* file = std::fopen(path, "w");
  if (file == nullptr) std::exit(125);
  for (int i = 0; i < faults::kOperationCount; ++i) {
    std::fprintf(file, "%s %u\n", kOperations[i], faults::calls(static_cast<faults::Operation>(i)));
  }
  if (std::fclose(file) != 0) std::exit(125);
}

}  // namespace

int main(int argc, char** argv) {
  arm_from_environment();
  zibel::platform::start_process();
  const int status = zibel::run_command_line(argc, argv);
  write_calls();
  return status;
}
