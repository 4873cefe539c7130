// libFuzzer target: random data, old and new strings, and buffer and read
// sizes through the substitution pass, against the plain result.
//
// Input layout: byte 0 the old string's length (1 to 16), byte 1 the new
// string's (0 to 23), bytes 2 to 4 the spare work buffer, the read size and
// the output buffer (see size_from); then the old string, the new string and
// the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_streams.h"
#include "rewrite/substitution.h"

namespace {

// A size from one byte: the lower three quarters of its values give the small
// sizes 0 to `small` - 1, where every step counts; the top quarter gives
// multiples of `step`, large enough for the 64-byte steps in which one byte is
// replaced by a short string.
std::size_t size_from(std::uint8_t byte, std::size_t small, std::size_t step) {
  return byte < 192 ? byte % small : (byte - 191u) * step;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 5) return 0;
  const std::size_t old_length = 1 + bytes[0] % 16;
  const std::size_t new_length = bytes[1] % 24;
  const std::size_t spare = size_from(bytes[2], 64, 32);
  const std::size_t read_size = 1 + size_from(bytes[3], 96, 64);
  const std::size_t output_size = 1 + size_from(bytes[4], 48, 64);
  if (size < 5 + old_length + new_length) return 0;
  const char* text = reinterpret_cast<const char*>(bytes) + 5;
  const std::string old_string(text, old_length);
  if (old_string.find('\0') != std::string::npos) return 0;  // refused before the pass
  const std::string new_string(text + old_length, new_length);
  const std::string data(text + old_length + new_length, size - 5 - old_length - new_length);

  zibel::MemoryStreams streams(data, read_size);
  std::vector<char> work(zibel::minimum_work_buffer(old_length) + spare);
  std::vector<char> output(output_size);
  const zibel::PassResult result = zibel::substitute(streams, old_string, new_string, work, output);
  const auto expected = zibel::reference(data, old_string, new_string);
  const auto expected_result =
      expected ? zibel::PassResult::replaced : zibel::PassResult::no_occurrence;
  if (result != expected_result || streams.output != expected || streams.misuse) std::abort();
  return 0;
}
