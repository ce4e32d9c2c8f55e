#include "isp/flash.h"

#include <algorithm>

namespace isp {
namespace {

constexpr unsigned kSmallLow = 8, kLarge = 14;  // 8 × 4 KB, 14 × 32 KB, then 4 KB again
constexpr std::uint32_t kSmall = 0x1000, kBig = 0x8000;
constexpr unsigned kVectorWords = 8;

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
  for (unsigned w = 0; w < kVectorWords; ++w) {
    std::uint32_t v = 0;
    for (unsigned b = 0; b < 4; ++b) v |= std::uint32_t{bytes_[4 * w + b]} << (8 * b);
    sum += v;
  }
  return sum == 0;
}

}  // namespace isp
