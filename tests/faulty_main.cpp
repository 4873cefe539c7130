// The program with one fault armed, for the tests that break its system calls
// on purpose. Only the tests build it; the real program reads no environment.
//
//   ZIBEL_TEST_FAULT="<point> <count> <effect> <value>"
//     e.g. "write 2 fail 28": the second write fails with ENOSPC;
//     "before_commit 1 kill 0": the process ends as the commit begins.
//   ZIBEL_TEST_HOOK=<command>: what the effect "hook" runs, through the
//     system's shell, before the call is made; e.g. another program that
//     swaps a file at that very moment.
//   ZIBEL_TEST_CALLS=<file>: at the end, writes there how many calls of each
//     kind the run made, one "<point> <count>" line each, then "failure
//     <point> <error>" for the last call that failed, if one did.
//   ZIBEL_TEST_TRACE=<file>: writes there every call as it was made, in
//     order, one line each (see trace_call).
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "frontend/command_line.h"
#include "platform/process.h"
#include "platform/seam.h"

namespace seam = zibel::platform::seam;

namespace {

FILE* trace = nullptr;

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
  char point[32];
  char effect[16];
  unsigned count = 0;
  int value = 0;
  if (std::sscanf(text, "%31s %u %15s %d", point, &count, effect, &value) != 4) {
    std::fprintf(stderr, "bad ZIBEL_TEST_FAULT: %s\n", text);
    std::exit(125);
  }
  seam::arm({static_cast<seam::Point>(index_of(seam::kPointNames, point)), count,
             static_cast<seam::Effect>(index_of(seam::kEffectNames, effect)), value},
            run_hook);
}

// "<point> <file> <other> <offset> <length> <result> <error> <name or -> [<bytes in hex>]",
// the bytes for a write that wrote some. Flushed at once, so that a run that
// is killed leaves every call it made.
void trace_call(const seam::Call& call, std::int64_t result, int error) {
  const std::string_view point = seam::kPointNames[static_cast<int>(call.point)];
  std::fprintf(trace, "%.*s %lld %lld %llu %llu %lld %d %s", static_cast<int>(point.size()),
               point.data(), static_cast<long long>(call.file), static_cast<long long>(call.other),
               static_cast<unsigned long long>(call.offset),
               static_cast<unsigned long long>(call.length), static_cast<long long>(result), error,
               call.name != nullptr && *call.name != '\0' ? call.name : "-");
  if (call.bytes != nullptr && result > 0) {
    std::fputc(' ', trace);
    for (std::int64_t i = 0; i < result; ++i) {
      std::fprintf(trace, "%02x", static_cast<unsigned char>(call.bytes[i]));
    }
  }
  std::fputc('\n', trace);
  std::fflush(trace);
}

void trace_to_environment() {
  const char* path = std::getenv("ZIBEL_TEST_TRACE");
  if (path == nullptr) return;
  trace = std::fopen(path, "wb");
  if (trace == nullptr) std::exit(125);
  seam::observe(trace_call);
}

void write_calls() {
  const char* path = std::getenv("ZIBEL_TEST_CALLS");
  if (path == nullptr) return;
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) std::exit(125);
  for (int i = 0; i < seam::kPointCount; ++i) {
    const std::string_view name = seam::kPointNames[i];
    std::fprintf(file, "%.*s %u\n", static_cast<int>(name.size()), name.data(),
                 seam::count(static_cast<seam::Point>(i)));
  }
  const seam::Failure failure = seam::last_failure();
  if (failure.error != 0) {
    const std::string_view name = seam::kPointNames[static_cast<int>(failure.point)];
    std::fprintf(file, "failure %.*s %d\n", static_cast<int>(name.size()), name.data(),
                 failure.error);
  }
  if (std::fclose(file) != 0) std::exit(125);
}

}  // namespace

// Started by the same entry point as the tool, so on Windows its command line
// takes the same wide path.
int zibel::program(const Arguments& arguments) {
  arm_from_environment();
  platform::start_process();
  trace_to_environment();
  const int status = run_command_line(arguments);
  write_calls();
  return status;
}
