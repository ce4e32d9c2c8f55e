#include "emu/elf_image.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "sim/format.h"

namespace emu {
namespace {

// Addresses of a 32-bit image: an end past this wraps to a small one.
constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

[[noreturn]] void fail(const std::string& path, const std::string& what) {
  throw BadImage(path + ": " + what);
}

struct ElfCloser {
  void operator()(Elf* e) const { elf_end(e); }
};

class File {
 public:
  explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {
    if (fd_ < 0) fail(path, std::strerror(errno));
    // libelf would call both of these "not an ELF file".
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return;
    if (S_ISDIR(st.st_mode)) fail_closed(path, "a directory, not an ELF file");
    if (st.st_size == 0) fail_closed(path, "empty, not an ELF file");
  }
  ~File() { ::close(fd_); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  int fd() const { return fd_; }

 private:
  [[noreturn]] void fail_closed(const std::string& path, const std::string& what) {
    ::close(fd_);
    fail(path, what);
  }
  int fd_;
};

// Symbols the assembler makes for mapping ($a, $d) and files carry no useful name.
bool is_named_location(const GElf_Sym& sym, const char* name) {
  const int type = GELF_ST_TYPE(sym.st_info);
  if (name == nullptr || name[0] == '\0' || name[0] == '$') return false;
  if (type == STT_FILE || type == STT_SECTION) return false;
  return sym.st_shndx != SHN_UNDEF;
}

void read_symbols(Elf* elf, Elf_Scn* scn, const GElf_Shdr& shdr, std::vector<Symbol>& out) {
  Elf_Data* data = elf_getdata(scn, nullptr);
  if (data == nullptr || shdr.sh_entsize == 0) return;
  const std::size_t count = shdr.sh_size / shdr.sh_entsize;
  for (std::size_t i = 0; i < count; ++i) {
    GElf_Sym sym;
    if (gelf_getsym(data, static_cast<int>(i), &sym) == nullptr) continue;
    const char* name = elf_strptr(elf, shdr.sh_link, sym.st_name);
    if (!is_named_location(sym, name)) continue;
    // A size that wraps the address space would make the symbol's range end before it begins.
    if (sym.st_value + sym.st_size > kAddressSpace) continue;
    out.push_back(
        {name, static_cast<std::uint32_t>(sym.st_value), static_cast<std::uint32_t>(sym.st_size)});
  }
}

}  // namespace

ElfImage ElfImage::load(const std::string& path) {
  if (elf_version(EV_CURRENT) == EV_NONE) fail(path, "libelf is unusable");
  File file(path);
  std::unique_ptr<Elf, ElfCloser> elf(elf_begin(file.fd(), ELF_C_READ, nullptr));
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) fail(path, "not an ELF file");
  GElf_Ehdr ehdr;
  if (gelf_getehdr(elf.get(), &ehdr) == nullptr) fail(path, "no ELF header");
  if (ehdr.e_ident[EI_CLASS] != ELFCLASS32 || ehdr.e_ident[EI_DATA] != ELFDATA2LSB ||
      ehdr.e_machine != EM_ARM) {
    fail(path, "not a 32-bit little-endian ARM image");
  }

  ElfImage image;
  image.name_ = path;
  std::size_t phnum = 0;
  if (elf_getphdrnum(elf.get(), &phnum) != 0) fail(path, "no program headers");
  std::size_t file_size = 0;
  const char* raw = elf_rawfile(elf.get(), &file_size);
  for (std::size_t i = 0; i < phnum; ++i) {
    GElf_Phdr ph;
    if (gelf_getphdr(elf.get(), static_cast<int>(i), &ph) == nullptr) continue;
    if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue;
    if (ph.p_offset + ph.p_filesz > file_size) fail(path, "segment runs past the end of the file");
    if (ph.p_paddr + ph.p_filesz > kAddressSpace) {
      fail(path, "a segment at " + sim::hex_word(static_cast<std::uint32_t>(ph.p_paddr)) +
                     " runs past the end of the 32-bit address space");
    }
    Segment seg;
    seg.addr = static_cast<std::uint32_t>(ph.p_paddr);
    seg.bytes.assign(raw + ph.p_offset, raw + ph.p_offset + ph.p_filesz);
    image.segments_.push_back(std::move(seg));
  }
  if (image.segments_.empty()) fail(path, "nothing to load");

  std::size_t shstrndx = 0;
  elf_getshdrstrndx(elf.get(), &shstrndx);
  for (Elf_Scn* scn = elf_nextscn(elf.get(), nullptr); scn != nullptr;
       scn = elf_nextscn(elf.get(), scn)) {
    GElf_Shdr shdr;
    if (gelf_getshdr(scn, &shdr) == nullptr) continue;
    if (shdr.sh_type == SHT_SYMTAB) read_symbols(elf.get(), scn, shdr, image.symbols_);
    if ((shdr.sh_flags & SHF_EXECINSTR) && (shdr.sh_flags & SHF_ALLOC) && shdr.sh_size > 0) {
      if (shdr.sh_addr + shdr.sh_size > kAddressSpace) {
        fail(path, "a code section at " + sim::hex_word(static_cast<std::uint32_t>(shdr.sh_addr)) +
                       " runs past the end of the 32-bit address space");
      }
      const auto begin = static_cast<std::uint32_t>(shdr.sh_addr);
      image.code_.push_back({begin, static_cast<std::uint32_t>(begin + shdr.sh_size)});
    }
  }
  std::sort(image.symbols_.begin(), image.symbols_.end(),
            [](const Symbol& a, const Symbol& b) { return a.addr < b.addr; });
  return image;
}

ElfImage ElfImage::from_flash(const std::vector<std::uint8_t>& flash, const ElfImage* symbols) {
  ElfImage image;
  image.name_ = "the programmed flash";
  auto last = std::find_if(flash.rbegin(), flash.rend(), [](std::uint8_t b) { return b != 0xFF; });
  const auto used = static_cast<std::uint32_t>(flash.rend() - last);
  image.segments_.push_back({0, std::vector<std::uint8_t>(flash.begin(), flash.begin() + used)});
  if (symbols) {
    image.symbols_ = symbols->symbols_;
    image.code_ = symbols->code_;
  } else if (used > 0) {
    image.code_.push_back({0, used});
  }
  return image;
}

std::optional<std::uint32_t> ElfImage::find(std::string_view name) const {
  for (const Symbol& s : symbols_) {
    if (s.name == name) return s.addr;
  }
  return std::nullopt;
}

std::optional<Range> ElfImage::extent(std::string_view name) const {
  for (const Symbol& s : symbols_) {
    if (s.name == name && s.size > 0) return Range{s.addr, s.addr + s.size};
  }
  return std::nullopt;
}

const Symbol* ElfImage::symbol_at(std::uint32_t addr) const {
  auto after = std::upper_bound(symbols_.begin(), symbols_.end(), addr,
                                [](std::uint32_t a, const Symbol& s) { return a < s.addr; });
  return after == symbols_.begin() ? nullptr : &*std::prev(after);
}

std::string ElfImage::describe(std::uint32_t addr) const {
  const Symbol* s = symbol_at(addr);
  if (!s) return sim::hex_word(addr);
  char buf[32];
  std::snprintf(buf, sizeof buf, "+0x%x", static_cast<unsigned>(addr - s->addr));
  return s->name + buf;
}

}  // namespace emu
