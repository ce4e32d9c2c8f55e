// The loadable contents and the symbol table of a 32-bit little-endian ARM ELF image.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/refusal.h"

namespace emu {

struct Segment {
  std::uint32_t addr = 0;  // load address (LMA): where the bytes sit when the core starts
  std::vector<std::uint8_t> bytes;
};

struct Symbol {
  std::string name;
  std::uint32_t addr = 0;
  std::uint32_t size = 0;
};

// An address range [begin, end).
struct Range {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  bool contains(std::uint32_t a) const { return a >= begin && a < end; }
};

// A firmware file the emulator cannot run: missing, unreadable, not an ARM image, or without
// what the runner needs. Refused before the run, rather than a fault of it.
struct BadImage : sim::Refusal {
  using sim::Refusal::Refusal;
};

class ElfImage {
 public:
  // Throws BadImage naming the file and what is wrong with it.
  static ElfImage load(const std::string& path);
  // The contents of a programmed flash (erased bytes 0xFF), as the chip boots from it. With
  // `symbols`, its names and code sections, which the caller vouches describe these bytes;
  // without, findings name addresses only and everything up to the last programmed byte
  // counts as code.
  static ElfImage from_flash(const std::vector<std::uint8_t>& flash,
                             const ElfImage* symbols = nullptr);
  // The file it came from, or a description of where the bytes came from.
  const std::string& name() const { return name_; }

  const std::vector<Segment>& segments() const { return segments_; }
  // Sections holding instructions, by address.
  const std::vector<Range>& code() const { return code_; }
  std::optional<std::uint32_t> find(std::string_view name) const;
  // The range a function or object symbol covers; empty when unknown or of size 0.
  std::optional<Range> extent(std::string_view name) const;
  // The closest symbol at or below addr, if any.
  const Symbol* symbol_at(std::uint32_t addr) const;
  // "name+0x1c" for the closest symbol at or below addr, "0x0000001c" when there is none.
  std::string describe(std::uint32_t addr) const;

 private:
  std::string name_;
  std::vector<Segment> segments_;
  std::vector<Range> code_;
  std::vector<Symbol> symbols_;  // sorted by address
};

// File and line of each code address, from an image's DWARF line tables (dwarf_lines.cpp). An
// image of raw flash bytes has none: its addresses are all in file "???" at line 0.
class SourceLines {
 public:
  explicit SourceLines(const std::string& path);

  // `unit` is the source file the code was compiled from, where `file` may be a header whose
  // inline code it holds: functions are named by their unit, lines by their file.
  struct Place {
    const std::string* file;
    const std::string* unit;
    int line;
  };
  Place at(std::uint32_t addr) const;
  // The line GDB shows for addr: of the rows at the closest address at or below it, the last in
  // the table, or when that one begins no statement, the last before it that does.
  Place shown_at(std::uint32_t addr) const;

 private:
  struct Reader;  // the libdw side
  struct Row {
    std::uint32_t addr;
    std::uint32_t file, unit;
    int line;
    bool end;             // past the end of a sequence
    bool statement;       // begins a statement (is_stmt)
    std::uint32_t order;  // its place in the tables as read
  };

  std::uint32_t file_number(const std::string& file);

  std::vector<std::string> files_;  // [0]: unknown
  std::map<std::string, std::uint32_t> file_index_;
  std::vector<Row> rows_;
};

}  // namespace emu
