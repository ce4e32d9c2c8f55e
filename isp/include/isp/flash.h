// The LPC2138's 512 KB flash as its boot loader programs it: sectors that must be prepared
// before each copy or erase, programming that can only clear bits, and the boot block at the
// top that user code cannot touch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>
#include "hw/lpc2138.h"

namespace isp {

inline constexpr std::uint32_t kFlashSize = lpc2138::FLASH_SIZE;
// The boot loader's 12 KB occupy 0x7D000 up; sectors 0-26 cover the rest.
inline constexpr std::uint32_t kUserFlashEnd = 0x7D000;
inline constexpr unsigned kSectors = 27;
inline constexpr std::uint8_t kErased = 0xFF;

// First byte of a sector and its length: 0-7 4 KB, 8-21 32 KB, 22-26 4 KB.
std::uint32_t sector_start(unsigned sector);
std::uint32_t sector_size(unsigned sector);
// The sector holding a user flash address; none in the boot block or beyond.
std::optional<unsigned> sector_of(std::uint32_t addr);

class Flash {
 public:
  Flash() : bytes_(kFlashSize, kErased) {}

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  // Marks sectors first..last for one copy or erase each.
  void prepare(unsigned first, unsigned last);
  bool prepared(unsigned sector) const { return prepared_[sector]; }
  // Programming ANDs the data into the cells: only an erase sets bits again. Both consume the
  // preparation of the sectors they touch; the caller checks that every one was prepared.
  void program(std::uint32_t addr, std::span<const std::uint8_t> data);
  void erase(unsigned first, unsigned last);
  // The eight exception vectors sum to zero (mod 2^32): the reset code runs user code only then.
  bool vectors_valid() const;

 private:
  void consume(std::uint32_t begin, std::uint32_t end);

  std::vector<std::uint8_t> bytes_;
  bool prepared_[kSectors] = {};
};

}  // namespace isp
