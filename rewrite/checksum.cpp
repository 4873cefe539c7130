#include "rewrite/checksum.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zibel {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the checksum reads the bytes as little-endian 64-bit words");

// Two 64-bit words handled at once; the compiler turns operations on them
// into SSE2 vector instructions on x86, 32-bit x86 included.
using Words = std::uint64_t __attribute__((vector_size(16)));
constexpr std::size_t kWordsPerStripe = Checksum::kStripeSize / sizeof(std::uint64_t);

// After this many stripes the accumulators are scrambled.
constexpr std::size_t kStripesPerBlock = 16;

// The fractional part of pi in hexadecimal, 64 bits a word: 0x243F6A88... is
// pi - 3. Stripe i of a block is mixed with the eight words from word i on,
// so that swapping two stripes of a block changes the value.
constexpr std::uint64_t kPiWords[40] = {
    0x243F6A8885A308D3, 0x13198A2E03707344, 0xA4093822299F31D0, 0x082EFA98EC4E6C89,
    0x452821E638D01377, 0xBE5466CF34E90C6C, 0xC0AC29B7C97C50DD, 0x3F84D5B5B5470917,
    0x9216D5D98979FB1B, 0xD1310BA698DFB5AC, 0x2FFD72DBD01ADFB7, 0xB8E1AFED6A267E96,
    0xBA7C9045F12C7F99, 0x24A19947B3916CF7, 0x0801F2E2858EFC16, 0x636920D871574E69,
    0xA458FEA3F4933D7E, 0x0D95748F728EB658, 0x718BCD5882154AEE, 0x7B54A41DC25A59B5,
    0x9C30D5392AF26013, 0xC5D1B023286085F0, 0xCA417918B8DB38EF, 0x8E79DCB0603A180E,
    0x6C9E0E8BB01E8A3E, 0xD71577C1BD314B27, 0x78AF2FDA55605C60, 0xE65525F3AA55AB94,
    0x5748986263E81440, 0x55CA396A2AAB10B6, 0xB4CC5C341141E8CE, 0xA15486AF7C72E993,
    0xB3EE1411636FBC2A, 0x2BA9C55D741831F6, 0xCE5C3E169B87931E, 0xAFD6BA336C24CF5C,
    0x7A32538128958677, 0x3B8F48986B4BB9AF, 0xC4BFE81B66282193, 0x61D809CCFB21A991,
};
constexpr const std::uint64_t* kStripeKeys = kPiWords;  // words 0 to 22
constexpr const std::uint64_t* kInitialAccumulators = kPiWords + 24;
constexpr const std::uint64_t* kScrambleKey = kPiWords + 32;
static_assert(kStripesPerBlock - 1 + kWordsPerStripe <= 24);

// Odd multipliers, each the first prime above a fraction times 2^32 or 2^64:
// that of e (0xB7E15162...) for the scramble, which multiplies by 32 bits
// only; those of the square roots of 2 and 3 for the final mix.
constexpr std::uint64_t kScrambleMultiplier = 0xB7E15173;
constexpr std::uint64_t kMixMultiplier1 = 0x6A09E667F3BCC91D;
constexpr std::uint64_t kMixMultiplier2 = 0xBB67AE8584CAA753;

Words load(const void* at) {
  Words words;
  std::memcpy(&words, at, sizeof words);
  return words;
}

void store(void* at, Words words) {
  std::memcpy(at, &words, sizeof words);
}

// The eight accumulators, named rather than in an array so that the compiler
// keeps them in registers.
struct Accumulators {
  Words a, b, c, d;
};

Accumulators load_accumulators(const std::uint64_t* words) {
  return {load(words), load(words + 2), load(words + 4), load(words + 6)};
}

void store_accumulators(std::uint64_t* words, const Accumulators& accumulators) {
  store(words, accumulators.a);
  store(words + 2, accumulators.b);
  store(words + 4, accumulators.c);
  store(words + 6, accumulators.d);
}

// The 64-bit product of the two 32-bit halves of each word: one SSE2
// pmuludq where the processor has one. GCC 12 does not see that the factors of
// the plain form are 32-bit and multiplies whole 64-bit words, with three
// multiplies and half the speed; the value is the same.
#if defined(__SSE2__)
using HalfWords = int __attribute__((vector_size(16)));
inline Words product_of_halves(Words words) {
  return reinterpret_cast<Words>(__builtin_ia32_pmuludq128(
      reinterpret_cast<HalfWords>(words), reinterpret_cast<HalfWords>(words >> 32)));
}
#else
inline Words product_of_halves(Words words) {
  constexpr Words kLow32 = {0xFFFFFFFF, 0xFFFFFFFF};
  return (words & kLow32) * (words >> 32);
}
#endif

// Each 64-bit word of the data, mixed with its key, is split into two 32-bit
// halves whose 64-bit product goes into the word's accumulator; the word
// itself goes into its neighbour's, so that no input is lost where the product
// is zero.
inline void add_words(Words& accumulator, const char* data, const std::uint64_t* key) {
  const Words words = load(data);
  accumulator += __builtin_shufflevector(words, words, 1, 0) + product_of_halves(words ^ load(key));
}

inline void add_stripe(Accumulators& accumulators, const char* stripe, const std::uint64_t* key) {
  add_words(accumulators.a, stripe, key);
  add_words(accumulators.b, stripe + 16, key + 2);
  add_words(accumulators.c, stripe + 32, key + 4);
  add_words(accumulators.d, stripe + 48, key + 6);
}

// Spreads the high bits of each accumulator over its low ones, where the next
// block's products take them from. Every step can be undone, so no two
// accumulators become one.
void scramble(Words& words, const std::uint64_t* key) {
  words ^= words >> 47;
  words ^= load(key);
  words *= kScrambleMultiplier;
}

void scramble(Accumulators& accumulators) {
  scramble(accumulators.a, kScrambleKey);
  scramble(accumulators.b, kScrambleKey + 2);
  scramble(accumulators.c, kScrambleKey + 4);
  scramble(accumulators.d, kScrambleKey + 6);
}

// Makes every bit of the result depend on every bit of `word`.
std::uint64_t mix(std::uint64_t word) {
  word ^= word >> 32;
  word *= kMixMultiplier1;
  word ^= word >> 29;
  word *= kMixMultiplier2;
  word ^= word >> 32;
  return word;
}

}  // namespace

Checksum::Checksum() : pending_() {
  std::copy(kInitialAccumulators, kInitialAccumulators + kWordsPerStripe, accumulators_);
}

void Checksum::add(const char* bytes, std::size_t length) {
  if (length == 0) return;
  const auto pending = static_cast<std::size_t>(length_ % kStripeSize);
  length_ += length;
  if (pending != 0) {
    const std::size_t taken = std::min(kStripeSize - pending, length);
    std::memcpy(pending_ + pending, bytes, taken);
    if (pending + taken < kStripeSize) return;
    add_stripes(pending_, 1, (length_ - length) / kStripeSize);
    bytes += taken;
    length -= taken;
  }
  const std::size_t whole = length - length % kStripeSize;
  add_stripes(bytes, whole / kStripeSize, (length_ - length) / kStripeSize);
  std::memcpy(pending_, bytes + whole, length - whole);
}

// Adds `count` whole stripes, the first of which is stripe number `first` of
// the whole input.
void Checksum::add_stripes(const char* stripes, std::size_t count, std::uint64_t first) {
  if (count == 0) return;
  Accumulators accumulators = load_accumulators(accumulators_);
  auto in_block = static_cast<std::size_t>(first % kStripesPerBlock);
  for (; count > 0; --count, stripes += kStripeSize) {
    add_stripe(accumulators, stripes, kStripeKeys + in_block);
    if (++in_block == kStripesPerBlock) {
      scramble(accumulators);
      in_block = 0;
    }
  }
  store_accumulators(accumulators_, accumulators);
}

std::uint64_t Checksum::value() const {
  Accumulators accumulators = load_accumulators(accumulators_);
  const auto pending = static_cast<std::size_t>(length_ % kStripeSize);
  if (pending != 0) {
    // The stripe not yet complete, filled up with zero bytes; the length,
    // mixed in below, tells it from a complete one.
    char stripe[kStripeSize] = {};
    std::memcpy(stripe, pending_, pending);
    add_stripe(accumulators, stripe,
               kStripeKeys + static_cast<std::size_t>(length_ / kStripeSize % kStripesPerBlock));
  }
  std::uint64_t words[kWordsPerStripe];
  store_accumulators(words, accumulators);
  std::uint64_t result = length_ * kMixMultiplier1;
  for (const std::uint64_t word : words) result = mix(result ^ word);
  return result;
}

}  // namespace zibel
