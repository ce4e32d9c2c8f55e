// The LPC2138's 512 KB flash as its boot loader and a debugger's download program it: sectors
// that must be prepared before each copy or erase, programming that can only clear bits, and
// the boot block at the top that user code cannot touch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>
#include "emu/elf_image.h"
#include "hw/lpc2138.h"

namespace emu {

inline constexpr std::uint32_t kFlashSize = lpc2138::FLASH_SIZE;
// The boot loader's 12 KB occupy 0x7D000 up; sectors 0-26 cover the rest.
inline constexpr std::uint32_t kUserFlashEnd = 0x7D000;
inline constexpr unsigned kSectors = 27;
inline constexpr std::uint8_t kErased = 0xFF;
// The reserved vector at 0x14: the boot loader starts user code only if the eight vector
// words sum to zero, so whoever programs them puts their checksum here.
inline constexpr std::uint32_t kChecksumWord = 0x14;
inline constexpr std::uint32_t kVectorsEnd = 0x20;

// First byte of a sector and its length: 0-7 4 KB, 8-21 32 KB, 22-26 4 KB.
std::uint32_t sector_start(unsigned sector);
std::uint32_t sector_size(unsigned sector);
// The sector holding a user flash address; none in the boot block or beyond.
std::optional<unsigned> sector_of(std::uint32_t addr);
// The word at 0x14 that makes the eight vector words (`vectors`, 32 bytes from address 0)
// sum to zero: minus the sum of the other seven.
std::uint32_t vector_checksum(std::span<const std::uint8_t> vectors);

class Flash {
 public:
  Flash() : bytes_(kFlashSize, kErased) {}
  // Cells holding `bytes` already (kFlashSize of them).
  explicit Flash(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

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

// The first byte of `flash` that differs from what the image puts there, the vector checksum
// word aside (lpc21isp and a debugger's download write it; the core never executes it). Bytes
// the image leaves alone (lpc21isp pads the last block) and bytes it puts in RAM (a debugger
// loads them, flashing does not) do not count.
std::optional<std::uint32_t> differs_from(const Flash& flash, const ElfImage& image);

// A debugger's flash download as GDB makes one (vFlashErase, vFlashWrite in rising order,
// vFlashDone), programmed the way a probe's flash driver for the LPC2000 does it: erases at
// once, whole sectors only; the data held until done and then programmed, with the vector
// checksum put into word 0x14 first whenever the vectors are among it (the word an image
// leaves there would otherwise be ANDed with it).
class FlashDownload {
 public:
  explicit FlashDownload(Flash& flash) : flash_(flash) {}

  // False unless [addr, addr + length) starts and ends on sector bounds in user flash.
  bool erase(std::uint32_t addr, std::uint32_t length);
  // False for data reaching outside user flash.
  bool write(std::uint32_t addr, std::span<const std::uint8_t> data);
  struct Done {
    std::vector<std::pair<std::uint32_t, std::uint32_t>>
        changed;                            // [begin, end), erased or written
    std::optional<std::uint32_t> checksum;  // written at 0x14
    std::uint32_t replaced = 0;             // the word the download had there
  };
  // Programs what was written; the download is then empty again.
  Done done();

 private:
  Flash& flash_;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> held_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> erased_;
};

}  // namespace emu
