#include "rewrite/commit_record.h"

#include <bit>
#include <cstring>

#include "rewrite/checksum.h"

namespace zibel {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the record is written as little-endian words");

// The layout, in bytes: the magic and the version, the state, the temporary
// file's number, the owner (its length, then its bytes), the identities of
// the target and of the temporary file (number, generation, birth time), the
// three positions, the content's checksum, and last the checksum of all that
// precedes it.
constexpr char kMagic[8] = {'Z', 'I', 'B', 'E', 'L', 'R', 'E', 'C'};
constexpr std::uint32_t kVersion = 1;

constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kStateAt = 12;
constexpr std::size_t kNumberAt = 16;
constexpr std::size_t kOwnerLengthAt = 20;
constexpr std::size_t kOwnerAt = 24;
constexpr std::size_t kTargetAt = 96;
constexpr std::size_t kTemporaryAt = 128;
constexpr std::size_t kIdentitySize = 32;
constexpr std::size_t kOldLengthAt = 160;
constexpr std::size_t kNewLengthAt = 168;
constexpr std::size_t kFirstChangeAt = 176;
constexpr std::size_t kChecksumAt = 184;
constexpr std::size_t kRecordChecksumAt = 192;
static_assert(kOwnerAt + sizeof(platform::Owner::bytes) <= kTargetAt);
static_assert(kTargetAt + kIdentitySize == kTemporaryAt);
static_assert(kTemporaryAt + kIdentitySize == kOldLengthAt);
static_assert(kRecordChecksumAt + 8 == kCommitRecordSize);

template <typename Word>
void put(char* bytes, std::size_t at, Word word) {
  std::memcpy(bytes + at, &word, sizeof word);
}

template <typename Word>
Word get(const char* bytes, std::size_t at) {
  Word word;
  std::memcpy(&word, bytes + at, sizeof word);
  return word;
}

void put_identity(char* bytes, std::size_t at, const platform::FileIdentity& identity) {
  put(bytes, at, identity.number[0]);
  put(bytes, at + 8, identity.number[1]);
  put(bytes, at + 16, identity.generation);
  put(bytes, at + 24, identity.born);
}

platform::FileIdentity get_identity(const char* bytes, std::size_t at) {
  return {{get<std::uint64_t>(bytes, at), get<std::uint64_t>(bytes, at + 8)},
          get<std::uint64_t>(bytes, at + 16),
          get<std::int64_t>(bytes, at + 24)};
}

std::uint64_t checksum_of(const char* bytes, std::size_t length) {
  Checksum checksum;
  checksum.add(bytes, length);
  return checksum.value();
}

}  // namespace

void encode(const CommitRecord& record, char (&bytes)[kCommitRecordSize]) {
  std::memset(bytes, 0, sizeof bytes);
  std::memcpy(bytes, kMagic, sizeof kMagic);
  put(bytes, kVersionAt, kVersion);
  put(bytes, kStateAt, static_cast<std::uint32_t>(record.state));
  put(bytes, kNumberAt, record.temporary_number);
  put(bytes, kOwnerLengthAt, std::uint32_t{record.owner.length});
  std::memcpy(bytes + kOwnerAt, record.owner.bytes, sizeof record.owner.bytes);
  put_identity(bytes, kTargetAt, record.target);
  put_identity(bytes, kTemporaryAt, record.temporary);
  put(bytes, kOldLengthAt, record.old_length);
  put(bytes, kNewLengthAt, record.new_length);
  put(bytes, kFirstChangeAt, record.first_change);
  put(bytes, kChecksumAt, record.checksum);
  put(bytes, kRecordChecksumAt, checksum_of(bytes, kRecordChecksumAt));
}

bool decode(const char* bytes, std::size_t length, CommitRecord& record) {
  if (length != kCommitRecordSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0 ||
      get<std::uint32_t>(bytes, kVersionAt) != kVersion ||
      get<std::uint64_t>(bytes, kRecordChecksumAt) != checksum_of(bytes, kRecordChecksumAt)) {
    return false;
  }
  const auto owner_length = get<std::uint32_t>(bytes, kOwnerLengthAt);
  const auto state = get<std::uint32_t>(bytes, kStateAt);
  if (owner_length > sizeof record.owner.bytes ||
      (state != static_cast<std::uint32_t>(CommitRecord::State::preparing) &&
       state != static_cast<std::uint32_t>(CommitRecord::State::committing))) {
    return false;
  }
  record = CommitRecord{};
  record.state = static_cast<CommitRecord::State>(state);
  record.temporary_number = get<std::uint32_t>(bytes, kNumberAt);
  record.owner.length = static_cast<std::uint8_t>(owner_length);
  std::memcpy(record.owner.bytes, bytes + kOwnerAt, sizeof record.owner.bytes);
  record.target = get_identity(bytes, kTargetAt);
  record.temporary = get_identity(bytes, kTemporaryAt);
  record.old_length = get<std::uint64_t>(bytes, kOldLengthAt);
  record.new_length = get<std::uint64_t>(bytes, kNewLengthAt);
  record.first_change = get<std::uint64_t>(bytes, kFirstChangeAt);
  record.checksum = get<std::uint64_t>(bytes, kChecksumAt);
  return record.first_change <= record.new_length && record.first_change <= record.old_length;
}

}  // namespace zibel
