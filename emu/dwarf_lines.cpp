// The line reader of SourceLines (elf_image.h): file and line of each code address, from the
// image's DWARF line tables through libdw.
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "emu/elf_image.h"

namespace emu {
namespace {

constexpr const char* kUnknownFile = "???";

}  // namespace

struct SourceLines::Reader {
  SourceLines& lines;

  void read(Dwarf* dw) {
    Dwarf_Off offset = 0, next = 0;
    std::size_t header = 0;
    while (dwarf_nextcu(dw, offset, &next, &header, nullptr, nullptr, nullptr) == 0) {
      Dwarf_Die cu;
      Dwarf_Lines* table = nullptr;
      std::size_t count = 0;
      if (dwarf_offdie(dw, offset + header, &cu) && dwarf_getsrclines(&cu, &table, &count) == 0) {
        const std::uint32_t unit = lines.file_number(unit_path(&cu));
        const char* dir = comp_dir(&cu);
        for (std::size_t i = 0; i < count; ++i) add(dwarf_onesrcline(table, i), unit, dir);
      }
      offset = next;
    }
  }

  static const char* comp_dir(Dwarf_Die* cu) {
    Dwarf_Attribute attr;
    return dwarf_formstring(dwarf_attr(cu, DW_AT_comp_dir, &attr));
  }

  // A name of the unit or its line table as one path a file has: under the compilation
  // directory when relative (libgcc's line tables name "../../../libgcc/..." where its unit
  // names the same file from /), in normal form.
  static std::string in_dir(const char* dir, const char* name) {
    if (name[0] == '/' || dir == nullptr) return name;
    return (std::filesystem::path(dir) / name).lexically_normal().string();
  }

  // The unit's source as a path the line table's own names match.
  static std::string unit_path(Dwarf_Die* cu) {
    const char* name = dwarf_diename(cu);
    if (name == nullptr) return kUnknownFile;
    return in_dir(comp_dir(cu), name);
  }

  void add(Dwarf_Line* line, std::uint32_t unit, const char* dir) {
    Dwarf_Addr addr = 0;
    int number = 0;
    bool end = false, statement = false;
    const char* file = dwarf_linesrc(line, nullptr, nullptr);
    if (dwarf_lineaddr(line, &addr) != 0 || dwarf_lineno(line, &number) != 0 ||
        dwarf_lineendsequence(line, &end) != 0 || dwarf_linebeginstatement(line, &statement) != 0 ||
        file == nullptr) {
      return;
    }
    const auto order = static_cast<std::uint32_t>(lines.rows_.size());
    lines.rows_.push_back({static_cast<std::uint32_t>(addr), lines.file_number(in_dir(dir, file)),
                           unit, number, end, statement, order});
  }
};

SourceLines::SourceLines(const std::string& path) : files_{kUnknownFile} {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;  // an image of raw flash bytes: addresses only
  if (Dwarf* dw = dwarf_begin(fd, DWARF_C_READ)) {
    Reader{*this}.read(dw);
    dwarf_end(dw);
  }
  ::close(fd);
  // Where a sequence ends at the address the next one starts, the start wins.
  std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
    return a.addr != b.addr ? a.addr < b.addr : a.end > b.end;
  });
}

SourceLines::Place SourceLines::at(std::uint32_t addr) const {
  auto after = std::upper_bound(rows_.begin(), rows_.end(), addr,
                                [](std::uint32_t a, const Row& r) { return a < r.addr; });
  if (after == rows_.begin() || std::prev(after)->end) return {&files_[0], &files_[0], 0};
  const Row& r = *std::prev(after);
  return {&files_[r.file], &files_[r.unit], r.line};
}

SourceLines::Place SourceLines::shown_at(std::uint32_t addr) const {
  const Place unknown{&files_[0], &files_[0], 0};
  const auto after = std::upper_bound(rows_.begin(), rows_.end(), addr,
                                      [](std::uint32_t a, const Row& r) { return a < r.addr; });
  if (after == rows_.begin() || std::prev(after)->end) return unknown;
  const std::uint32_t at = std::prev(after)->addr;
  const Row* last = nullptr;
  for (auto r = after; r != rows_.begin() && std::prev(r)->addr == at; --r) {
    const Row& row = *std::prev(r);
    if (!row.end && (!last || row.order > last->order)) last = &row;
  }
  const Row* shown = last;
  if (!last->statement) {
    for (auto r = after; r != rows_.begin() && std::prev(r)->addr == at; --r) {
      const Row& row = *std::prev(r);
      if (!row.end && row.statement && row.order < last->order &&
          (shown == last || row.order > shown->order)) {
        shown = &row;
      }
    }
  }
  return {&files_[shown->file], &files_[shown->unit], shown->line};
}

std::uint32_t SourceLines::file_number(const std::string& file) {
  auto [it, added] = file_index_.try_emplace(file, static_cast<std::uint32_t>(files_.size()));
  if (added) files_.emplace_back(file);
  return it->second;
}

}  // namespace emu
