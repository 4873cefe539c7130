// Times the checksum of the new content, over one output buffer's worth of
// bytes (the pass hands 128 KiB at a time to the temporary file), against
// memcpy of the same bytes. bench/run turns its speed into the share of an
// edit's time that hashing the edit's new content takes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "rewrite/checksum.h"

namespace zibel {
namespace {

constexpr std::size_t kBufferSize = std::size_t{128} << 10;

std::vector<char> buffer() {
  std::vector<char> bytes(kBufferSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  return bytes;
}

void hash(benchmark::State& state) {
  const std::vector<char> bytes = buffer();
  Checksum checksum;
  for (auto _ : state) {
    checksum.add(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(checksum);
  }
  benchmark::DoNotOptimize(checksum.value());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBufferSize));
}
BENCHMARK(hash)->Name("checksum");

void copy(benchmark::State& state) {
  const std::vector<char> bytes = buffer();
  std::vector<char> into(kBufferSize);
  for (auto _ : state) {
    std::memcpy(into.data(), bytes.data(), bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBufferSize));
}
BENCHMARK(copy)->Name("memcpy");

}  // namespace
}  // namespace zibel

BENCHMARK_MAIN();
