// A minimal reader of the 32-bit little-endian ELF image, enough to look up symbols and read
// what the image loads into flash, independently of the tools that built it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test {

struct ElfSymbol {
  std::uint32_t value = 0;
  std::uint32_t size = 0;
  unsigned type = 0;  // STT_FUNC, STT_OBJECT, ...
  bool defined = false;
};

struct ElfSection {
  std::uint32_t addr = 0;
  std::uint32_t size = 0;
};

class ElfFile {
 public:
  // Throws std::runtime_error when the file is missing or not an ARM ELF32 executable.
  explicit ElfFile(const std::string& path);

  std::uint32_t entry() const { return entry_; }
  std::optional<ElfSymbol> symbol(std::string_view name) const;
  std::optional<ElfSection> section(std::string_view name) const;

  // The flash contents from address 0 as the loadable segments place them by load address;
  // gaps read as 0xFF, the erased state of flash.
  const std::vector<std::uint8_t>& flash() const { return flash_; }
  std::uint32_t flash_word(std::uint32_t addr) const;

 private:
  std::uint32_t entry_ = 0;
  std::vector<std::pair<std::string, ElfSymbol>> symbols_;
  std::vector<std::pair<std::string, ElfSection>> sections_;
  std::vector<std::uint8_t> flash_;
};

// The image this build made, read once; and a symbol's address in it (a test failure and 0
// when the symbol is missing).
const ElfFile& built_image();
std::uint32_t address_of(const char* name);

}  // namespace test
