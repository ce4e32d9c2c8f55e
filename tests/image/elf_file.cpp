#include "image/elf_file.h"

#include <gtest/gtest.h>

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace test {
namespace {

constexpr std::uint32_t kRamBase = 0x40000000;  // load addresses at or above it are not flash

template <typename T>
T read_at(const std::vector<char>& file, std::size_t offset) {
  if (offset + sizeof(T) > file.size()) throw std::runtime_error("ELF: truncated file");
  T value;
  std::memcpy(&value, file.data() + offset, sizeof(T));
  return value;
}

std::string string_at(const std::vector<char>& file, std::size_t table, std::uint32_t index) {
  const std::size_t start = table + index;
  if (start >= file.size()) throw std::runtime_error("ELF: bad string index");
  return std::string(file.data() + start, strnlen(file.data() + start, file.size() - start));
}

}  // namespace

ElfFile::ElfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::vector<char> file{std::istreambuf_iterator<char>(in), {}};

  const auto eh = read_at<Elf32_Ehdr>(file, 0);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS32 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_machine != EM_ARM) {
    throw std::runtime_error(path + " is not a little-endian ARM ELF32 file");
  }
  entry_ = eh.e_entry;

  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    const auto ph = read_at<Elf32_Phdr>(file, eh.e_phoff + i * eh.e_phentsize);
    if (ph.p_type != PT_LOAD || ph.p_filesz == 0 || ph.p_paddr >= kRamBase) continue;
    if (ph.p_offset + ph.p_filesz > file.size()) throw std::runtime_error("ELF: bad segment");
    if (flash_.size() < ph.p_paddr + ph.p_filesz) flash_.resize(ph.p_paddr + ph.p_filesz, 0xFF);
    std::memcpy(flash_.data() + ph.p_paddr, file.data() + ph.p_offset, ph.p_filesz);
  }

  const auto names = read_at<Elf32_Shdr>(file, eh.e_shoff + eh.e_shstrndx * eh.e_shentsize);
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    const auto sh = read_at<Elf32_Shdr>(file, eh.e_shoff + i * eh.e_shentsize);
    sections_.emplace_back(string_at(file, names.sh_offset, sh.sh_name),
                           ElfSection{sh.sh_addr, sh.sh_size});
    if (sh.sh_type != SHT_SYMTAB) continue;
    const auto strtab = read_at<Elf32_Shdr>(file, eh.e_shoff + sh.sh_link * eh.e_shentsize);
    for (std::size_t off = 0; off + sizeof(Elf32_Sym) <= sh.sh_size; off += sizeof(Elf32_Sym)) {
      const auto sym = read_at<Elf32_Sym>(file, sh.sh_offset + off);
      symbols_.emplace_back(string_at(file, strtab.sh_offset, sym.st_name),
                            ElfSymbol{sym.st_value, sym.st_size, ELF32_ST_TYPE(sym.st_info),
                                      sym.st_shndx != SHN_UNDEF});
    }
  }
}

std::optional<ElfSymbol> ElfFile::symbol(std::string_view name) const {
  for (const auto& [n, s] : symbols_) {
    if (n == name && s.defined) return s;
  }
  return std::nullopt;
}

std::optional<ElfSection> ElfFile::section(std::string_view name) const {
  for (const auto& [n, s] : sections_) {
    if (n == name) return s;
  }
  return std::nullopt;
}

std::uint32_t ElfFile::flash_word(std::uint32_t addr) const {
  if (addr + 4 > flash_.size()) throw std::out_of_range("flash word beyond the image");
  std::uint32_t w;
  std::memcpy(&w, flash_.data() + addr, 4);  // the host is little-endian, like the image
  return w;
}

const ElfFile& built_image() {
  static const ElfFile elf(LPCDEMO_ELF);
  return elf;
}

std::uint32_t address_of(const char* name) {
  const auto s = built_image().symbol(name);
  if (!s) ADD_FAILURE() << name << " is not in the image";
  return s ? s->value : 0;
}

}  // namespace test
