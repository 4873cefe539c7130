// The program with one fault armed, for the tests that break its system calls
// on purpose. Only the tests build it; the real program reads no environment.
//
//   ZIBEL_TEST_FAULT="<operation> <call> <effect> <value>"
//     e.g. "write 2 fail 28": the second write fails with ENOSPC.
//   ZIBEL_TEST_HOOK=<command>: what the effect "hook" runs, through the
//     system's shell, before the call is made; e.g. another program that
//     swaps a file at that very moment.
//   ZIBEL_TEST_CALLS=<file>: at the end, writes there how many calls of each
//     kind the run made, one "<operation> <count>" line each.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "frontend/command_line.h"
#include "platform/faults.h"
#include "platform/platform.h"

namespace faults = zibel::platform::faults;

namespace {

template <std::size_t N>
int index_of(const std::string_view (&names)[N], std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  std::fprintf(stderr, "unknown name in ZIBEL_TEST_FAULT: %.*s\n", static_cast<int>(name.size()),
               name.data());
  std::exit(125);
}

void run_hook() {
  const char* command = std::getenv("ZIBEL_TEST_HOOK");
  if (command != nullptr && std::system(command) != 0) {
    std::fprintf(stderr, "the hook failed: %s\n", command);
    std::exit(125);
  }
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
  faults::arm({static_cast<faults::Operation>(index_of(faults::kOperationNames, operation)), call,
               static_cast<faults::Effect>(index_of(faults::kEffectNames, effect)), value},
              run_hook);
}

void write_calls() {
  const char* path = std::getenv("ZIBEL_TEST_CALLS");
  if (path == nullptr) return;
  FILE* file = std::fopen(path, "w");
  if (file == nullptr) std::exit(125);
  for (int i = 0; i < faults::kOperationCount; ++i) {
    const std::string_view name = faults::kOperationNames[i];
    std::fprintf(file, "%.*s %u\n", static_cast<int>(name.size()), name.data(),
                 faults::calls(static_cast<faults::Operation>(i)));
  }
  if (std::fclose(file) != 0) std::exit(125);
}

}  // namespace

// Started by the same entry point as the tool, so on Windows its command line
// takes the same wide path.
int zibel::program(const Arguments& arguments) {
  arm_from_environment();
  platform::start_process();
  const int status = run_command_line(arguments);
  write_calls();
  return status;
}
