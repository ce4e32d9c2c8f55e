#include "emu/flash.h"

#include <algorithm>

namespace emu {
namespace {

constexpr unsigned kSmallLow = 8, kLarge = 14;  // 8 × 4 KB, 14 × 32 KB, then 4 KB again
constexpr std::uint32_t kSmall = 0x1000, kBig = 0x8000;
constexpr unsigned kVectorWords = 8;

std::uint32_t word_at(std::span<const std::uint8_t> bytes, std::uint32_t at) {
  std::uint32_t v = 0;
  for (unsigned b = 0; b < 4; ++b) v |= std::uint32_t{bytes[at + b]} << (8 * b);
  return v;
}

}  // namespace

std::uint32_t sector_start(unsigned s) {
  if (s <= kSmallLow) return s * kSmall;
  if (s <= kSmallLow + kLarge) return kSmallLow * kSmall + (s - kSmallLow) * kBig;
  return kSmallLow * kSmall + kLarge * kBig + (s - kSmallLow - kLarge) * kSmall;
}

std::uint32_t sector_size(unsigned s) {
  return s >= kSmallLow && s < kSmallLow + kLarge ? kBig : kSmall;
}

std::optional<unsigned> sector_of(std::uint32_t addr) {
  for (unsigned s = 0; s < kSectors; ++s) {
    if (addr >= sector_start(s) && addr < sector_start(s) + sector_size(s)) return s;
  }
  return std::nullopt;
}

std::uint32_t vector_checksum(std::span<const std::uint8_t> vectors) {
  std::uint32_t sum = 0;
  for (std::uint32_t at = 0; at < kVectorsEnd; at += 4) {
    if (at != kChecksumWord) sum += word_at(vectors, at);
  }
  return 0u - sum;
}

void Flash::prepare(unsigned first, unsigned last) {
  for (unsigned s = first; s <= last && s < kSectors; ++s) prepared_[s] = true;
}

void Flash::consume(std::uint32_t begin, std::uint32_t end) {
  for (unsigned s = 0; s < kSectors; ++s) {
    if (sector_start(s) < end && begin < sector_start(s) + sector_size(s)) prepared_[s] = false;
  }
}

void Flash::program(std::uint32_t addr, std::span<const std::uint8_t> data) {
  for (std::size_t i = 0; i < data.size(); ++i) bytes_[addr + i] &= data[i];
  consume(addr, addr + static_cast<std::uint32_t>(data.size()));
}

void Flash::erase(unsigned first, unsigned last) {
  const std::uint32_t begin = sector_start(first), end = sector_start(last) + sector_size(last);
  std::fill(bytes_.begin() + begin, bytes_.begin() + end, kErased);
  consume(begin, end);
}

bool Flash::vectors_valid() const {
  std::uint32_t sum = 0;
  for (unsigned w = 0; w < kVectorWords; ++w) sum += word_at(bytes_, 4 * w);
  return sum == 0;
}

std::optional<std::uint32_t> differs_from(const Flash& flash, const ElfImage& image) {
  for (const Segment& s : image.segments()) {
    for (std::uint32_t i = 0; i < s.bytes.size(); ++i) {
      const std::uint32_t addr = s.addr + i;
      if (addr >= kChecksumWord && addr < kChecksumWord + 4) continue;
      if (addr >= kFlashSize) break;
      if (flash.bytes()[addr] != s.bytes[i]) return addr;
    }
  }
  return std::nullopt;
}

bool FlashDownload::erase(std::uint32_t addr, std::uint32_t length) {
  // A length that carries the end past 2^32 would wrap it back to a sector below the first.
  if (addr >= kFlashSize || length > kFlashSize - addr) return false;
  const auto first = sector_of(addr);
  const auto last = length == 0 ? std::nullopt : sector_of(addr + length - 1);
  if (!first || !last || sector_start(*first) != addr ||
      sector_start(*last) + sector_size(*last) != addr + length) {
    return false;
  }
  flash_.prepare(*first, *last);
  flash_.erase(*first, *last);
  erased_.emplace_back(addr, addr + length);
  return true;
}

bool FlashDownload::write(std::uint32_t addr, std::span<const std::uint8_t> data) {
  if (addr >= kUserFlashEnd || data.size() > kUserFlashEnd - addr) return false;
  if (data.empty()) return true;
  held_.emplace_back(addr, std::vector<std::uint8_t>(data.begin(), data.end()));
  return true;
}

FlashDownload::Done FlashDownload::done() {
  Done d;
  d.changed = std::move(erased_);
  // The vectors as they will read once programmed, the checksum word aside.
  std::vector<std::uint8_t> vectors(flash_.bytes().begin(), flash_.bytes().begin() + kVectorsEnd);
  bool has_vectors = false;
  for (auto& [addr, data] : held_) {
    for (std::uint32_t i = 0; i < data.size() && addr + i < kVectorsEnd; ++i) {
      vectors[addr + i] &= data[i];
      has_vectors = true;
    }
  }
  if (has_vectors) {
    const std::uint32_t sum = vector_checksum(vectors);
    d.checksum = sum;
    d.replaced = word_at(vectors, kChecksumWord);
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
        static_cast<std::uint8_t>(sum >> 16), static_cast<std::uint8_t>(sum >> 24)};
    // Into the data held for it, and on its own for the bytes of it that none holds.
    for (auto& [addr, data] : held_) {
      for (std::uint32_t b = 0; b < 4; ++b) {
        const std::uint32_t at = kChecksumWord + b;
        if (at >= addr && at - addr < data.size()) data[at - addr] = bytes[b];
      }
    }
    held_.emplace_back(kChecksumWord, std::vector<std::uint8_t>(bytes, bytes + 4));
  }
  for (const auto& [addr, data] : held_) {
    const auto end = addr + static_cast<std::uint32_t>(data.size());
    flash_.prepare(*sector_of(addr), *sector_of(end - 1));
    flash_.program(addr, data);
    d.changed.emplace_back(addr, end);
  }
  held_.clear();
  return d;
}

}  // namespace emu
