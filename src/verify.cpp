// --verify: what each output should hold, kept while it is written, so that the copy on the
// storage can be read back and compared before it replaces anything. SD cards and USB sticks
// lose writes without an error; a checksum of each 64 KiB block says which block.
#include <algorithm>

#include "tarnvell2.h"

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;

std::uint64_t rotate(std::uint64_t x, int by) {
  return (x << by) | (x >> (64 - by));
}

// Little-endian on every host, so that a block hashes the same on ARM and s390x; a load where
// the compiler sees the pattern.
std::uint64_t word(const unsigned char* p) {
  std::uint64_t w = 0;
  for (int k = 7; k >= 0; --k) w = (w << 8) | p[k];
  return w;
}

// Each step is one-to-one in both the lane and the word, so that a block that differs in one
// stripe always hashes differently.
std::uint64_t mix(std::uint64_t lane, std::uint64_t w) {
  return rotate(lane + w * kPrime2, 31) * kPrime1;
}

}  // namespace

BlockHash::BlockHash() {
  lanes_[0] = kPrime1 + kPrime2;
  lanes_[1] = kPrime2;
  lanes_[2] = 0;
  lanes_[3] = 0 - kPrime1;
}

void BlockHash::add(const unsigned char* bytes, std::size_t count) {
  length_ += count;
  if (held_ > 0) {
    const std::size_t n = std::min(count, sizeof stripe_ - held_);
    std::copy(bytes, bytes + n, stripe_ + held_);
    held_ += n;
    bytes += n;
    count -= n;
    if (held_ < sizeof stripe_) return;
    for (int k = 0; k < 4; ++k) lanes_[k] = mix(lanes_[k], word(stripe_ + 8 * k));
    held_ = 0;
  }
  // Four lanes, so that the multiplications of a stripe do not wait on each other.
  for (; count >= sizeof stripe_; bytes += sizeof stripe_, count -= sizeof stripe_)
    for (int k = 0; k < 4; ++k) lanes_[k] = mix(lanes_[k], word(bytes + 8 * k));
  std::copy(bytes, bytes + count, stripe_);
  held_ = count;
}

std::uint64_t BlockHash::value() const {
  std::uint64_t h = rotate(lanes_[0], 1) + rotate(lanes_[1], 7) + rotate(lanes_[2], 12) +
                    rotate(lanes_[3], 18) + length_;
  for (std::size_t k = 0; k < held_; ++k) h = rotate(h ^ (stripe_[k] * kPrime3), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  return h;
}

std::uint64_t hashBlock(const unsigned char* bytes, std::size_t count) {
  BlockHash hash;
  hash.add(bytes, count);
  return hash.value();
}

void WriteCheck::append(const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    const std::uint64_t block = position_ / kBlock, within = position_ % kBlock;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, kBlock - within));
    if (within == 0) {
      running_ = BlockHash();
      runningBlock_ = block;
    }
    if (runningBlock_ == block) running_.add(bytes, n);
    if (within + n == kBlock && runningBlock_ == block) {
      if (hashes_.size() <= block) {
        hashes_.resize(block + 1);
        known_.resize(block + 1);
      }
      hashes_[block] = running_.value();
      known_[block] = true;
      runningBlock_ = kNone;
    }
    position_ += n;
    bytes += n;
    count -= n;
  }
}

void WriteCheck::changed(std::uint64_t from, std::uint64_t to) {
  if (to <= from) return;
  const std::uint64_t first = from / kBlock, last = (to - 1) / kBlock;
  for (std::uint64_t b = first; b <= last && b < known_.size(); ++b) known_[b] = false;
  if (runningBlock_ != kNone && runningBlock_ >= first && runningBlock_ <= last)
    runningBlock_ = kNone;
}

void WriteCheck::movedTo(std::uint64_t position) {
  changed(std::min(position, position_), std::max(position, position_) + kBlock);
  if (position % kBlock != 0) runningBlock_ = kNone;
  position_ = position;
}

bool WriteCheck::known(std::uint64_t block, std::uint64_t fileSize, std::uint64_t& hash) const {
  if (block >= known_.size() || !known_[block] || (block + 1) * kBlock > fileSize) return false;
  hash = hashes_[block];
  return true;
}
