#include "emu/profile.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "emu/arm_timing.h"
#include "runner/output.h"

namespace emu {
namespace {

constexpr std::uint32_t kWord = 4;
constexpr std::uint32_t kPeripheralPage = 0x1000;
constexpr std::uint32_t kCondMask = 0x0FFFFFFF;
// MOV lr, pc: the return address of an indirect call (BX or LDR pc next).
constexpr std::uint32_t kMovLrPc = 0x01A0E00F;
constexpr std::uint32_t kBranchClassMask = 0x0E000000, kBranchClass = 0x0A000000;  // B, BL
constexpr std::uint32_t kLinkBit = 0x01000000;
constexpr std::uint32_t kLoadBit = 1u << 20;  // L, in single, halfword and block transfers
constexpr const char* kUnknownFile = "???";

std::size_t index(Event e) {
  return static_cast<std::size_t>(e);
}

// File and line of each code address, from the image's DWARF line tables.
class SourceLines {
 public:
  explicit SourceLines(const std::string& path) : files_{kUnknownFile} {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return;  // an image of raw flash bytes: addresses only
    if (Dwarf* dw = dwarf_begin(fd, DWARF_C_READ)) {
      read(dw);
      dwarf_end(dw);
    }
    ::close(fd);
    // Where a sequence ends at the address the next one starts, the start wins.
    std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
      return a.addr != b.addr ? a.addr < b.addr : a.end > b.end;
    });
  }

  // `unit` is the source file the code was compiled from, where `file` may be a header whose
  // inline code it holds: functions are named by their unit, lines by their file.
  struct Place {
    const std::string* file;
    const std::string* unit;
    int line;
  };
  Place at(std::uint32_t addr) const {
    auto after = std::upper_bound(rows_.begin(), rows_.end(), addr,
                                  [](std::uint32_t a, const Row& r) { return a < r.addr; });
    if (after == rows_.begin() || std::prev(after)->end) return {&files_[0], &files_[0], 0};
    const Row& r = *std::prev(after);
    return {&files_[r.file], &files_[r.unit], r.line};
  }

 private:
  struct Row {
    std::uint32_t addr;
    std::uint32_t file, unit;
    int line;
    bool end;  // past the end of a sequence
  };

  void read(Dwarf* dw) {
    Dwarf_Off offset = 0, next = 0;
    std::size_t header = 0;
    while (dwarf_nextcu(dw, offset, &next, &header, nullptr, nullptr, nullptr) == 0) {
      Dwarf_Die cu;
      Dwarf_Lines* lines = nullptr;
      std::size_t count = 0;
      if (dwarf_offdie(dw, offset + header, &cu) && dwarf_getsrclines(&cu, &lines, &count) == 0) {
        const std::uint32_t unit = file_number(unit_path(&cu));
        for (std::size_t i = 0; i < count; ++i) add(dwarf_onesrcline(lines, i), unit);
      }
      offset = next;
    }
  }

  // The unit's source as a path the line table's own names match: its name under its
  // compilation directory.
  static std::string unit_path(Dwarf_Die* cu) {
    const char* name = dwarf_diename(cu);
    if (name == nullptr) return kUnknownFile;
    Dwarf_Attribute attr;
    const char* dir = dwarf_formstring(dwarf_attr(cu, DW_AT_comp_dir, &attr));
    if (name[0] == '/' || dir == nullptr) return name;
    return (std::filesystem::path(dir) / name).lexically_normal().string();
  }

  std::uint32_t file_number(const std::string& file) {
    auto [it, added] = file_index_.try_emplace(file, static_cast<std::uint32_t>(files_.size()));
    if (added) files_.emplace_back(file);
    return it->second;
  }

  void add(Dwarf_Line* line, std::uint32_t unit) {
    Dwarf_Addr addr = 0;
    int number = 0;
    bool end = false;
    const char* file = dwarf_linesrc(line, nullptr, nullptr);
    if (dwarf_lineaddr(line, &addr) != 0 || dwarf_lineno(line, &number) != 0 ||
        dwarf_lineendsequence(line, &end) != 0 || file == nullptr) {
      return;
    }
    rows_.push_back({static_cast<std::uint32_t>(addr), file_number(file), unit, number, end});
  }

  std::vector<std::string> files_;  // [0]: unknown
  std::map<std::string, std::uint32_t> file_index_;
  std::vector<Row> rows_;
};

void add(Costs& to, const Costs& c) {
  for (std::size_t i = 0; i < kEvents; ++i) to[i] += c[i];
}

std::string hex(std::uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(a));
  return buf;
}

std::ostream& operator<<(std::ostream& out, const Costs& c) {
  return out << c[0] << ' ' << c[1] << ' ' << c[2] << ' ' << c[3];
}

// The offset from its base register that a load or store names, if an immediate one added
// before the access (or none, after it); else one no page offset equals.
std::uint32_t offset_in_page(std::uint32_t insn) {
  constexpr std::uint32_t kNone = 0xFFFFFFFF;
  const bool up = insn & (1u << 23), pre = insn & (1u << 24);
  const std::uint32_t cls = (insn >> 25) & 7;
  const bool halfword = cls == 0 && (insn & 0x90) == 0x90 && (insn & 0x60) != 0;
  std::uint32_t imm = kNone;
  if (cls == 2) imm = insn & 0xFFF;
  if (halfword && (insn & (1u << 22))) imm = ((insn >> 4) & 0xF0) | (insn & 0xF);
  if (imm == kNone) return kNone;
  if (!pre) return 0;
  return up || imm == 0 ? imm : kNone;
}

// A function as the profile names it: the symbol at or below the address.
struct Function {
  std::string name;
  std::uint32_t entry;
};

// C++ names as the source spells them, as callgrind itself writes them.
std::string demangled(const std::string& name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> plain(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
  return status == 0 && plain ? std::string(plain.get()) : name;
}

Function function_at(const ElfImage& image, std::uint32_t addr) {
  if (const Symbol* s = image.symbol_at(addr)) return {demangled(s->name), s->addr};
  return {"(no symbol)", 0};
}

}  // namespace

Profile::BlockCosts& Profile::costs_of(const Block& b) {
  // Blocks are found again through a small cache first: a hot loop runs the same few.
  auto& slot = recent_[(reinterpret_cast<std::uintptr_t>(&b) / sizeof(Block)) % recent_.size()];
  if (slot.first == &b) return *slot.second;
  auto [it, added] = blocks_.try_emplace(&b);
  BlockCosts& c = it->second;
  slot = {&b, &c};
  if (!added) return c;
  c.addr = b.addr;
  c.extra.resize(b.insns);
  std::vector<std::uint32_t> words(b.insns);
  for (std::uint32_t i = 0; i < b.insns; ++i) {
    const std::uint32_t at = b.addr + i * kWord;
    words[i] = fetch_(at);
    const arm::Timing t = arm::decode(words[i], at);
    // A skipped instruction takes one clock; what an executed one takes beyond is settled.
    c.weights.push_back(t.cond == arm::kAlways ? t.cycles : 1);
    c.weight_sum += c.weights.back();
    if (t.memory) c.accesses.push_back({at, offset_in_page(words[i]), (words[i] & kLoadBit) != 0});
    if (t.literal) c.sites.emplace_back(t.literal_addr, at);
  }
  const std::uint32_t last = words.back();
  const std::uint32_t before = b.insns > 1 ? words[b.insns - 2] : fetch_(b.addr - kWord);
  const arm::Timing t = arm::decode(last, b.end - kWord);
  const bool branch = (last & kBranchClassMask) == kBranchClass;
  if ((branch && (last & kLinkBit)) || (t.writes_pc && (before & kCondMask) == kMovLrPc)) {
    c.flow = Flow::Call;
  } else if (t.writes_pc && !branch) {
    c.flow = Flow::Return;
  }
  return c;
}

void Profile::add_to_last(std::int64_t clocks) {
  current_->on_last += clocks;
  totals_[index(Event::Cycles)] += static_cast<std::uint64_t>(clocks);
}

void Profile::enter(const Block& b, std::uint64_t flash_wait) {
  last_load_ = 0;
  current_ = &costs_of(b);
  current_end_ = b.end;
  current_->runs += 1;
  totals_[index(Event::Instructions)] += b.insns;
  totals_[index(Event::Cycles)] += current_->weight_sum;
  add_to_last(static_cast<std::int64_t>(b.cycles) - current_->weight_sum);
  if (flash_wait != 0) add_at(b.addr, Event::FlashWait, flash_wait);
}

void Profile::leave(std::uint64_t exit, std::uint32_t next) {
  if (!current_) return;
  add_to_last(static_cast<std::int64_t>(exit));
  const std::uint32_t end = current_end_;
  if (current_->flow == Flow::Call && next != end) {
    stack_.push_back({end - kWord, next, end, totals_});
  } else if (current_->flow == Flow::Return) {
    // Back to a caller on the stack; frames above it were left without a return (tail calls).
    auto it = std::find_if(stack_.rbegin(), stack_.rend(),
                           [next](const Frame& f) { return f.ret == next; });
    for (auto n = it == stack_.rend() ? 0 : it - stack_.rbegin() + 1; n > 0; --n) {
      close(stack_.back());
      stack_.pop_back();
    }
  }
  current_ = nullptr;
}

void Profile::wait(Event kind, std::uint64_t clocks, std::uint32_t accessed,
                   const std::function<std::uint32_t()>& locate) {
  if (!current_) return add_at(locate(), kind, clocks);
  const auto& accesses = current_->accesses;
  if (accesses.size() == 1) return add_at(accesses.front().at, kind, clocks);
  auto& known = current_->sites;
  auto it =
      std::find_if(known.begin(), known.end(), [&](const auto& s) { return s.first == accessed; });
  if (it != known.end()) return add_at(it->second, kind, clocks);
  if (kind != Event::ApbWait) return add_at(load_reading_flash(locate), kind, clocks);
  // Peripherals sit at the start of 4 KB pages, so a register's offset in its page is the
  // offset the instruction names; the registers a memory callback reads may be older than
  // the block's own changes, so they come last.
  const std::uint32_t offset = accessed % kPeripheralPage;
  const auto named = [offset](const Access& a) { return a.offset == offset; };
  const auto first = std::find_if(accesses.begin(), accesses.end(), named);
  const bool one = first != accesses.end() &&
                   std::find_if(std::next(first), accesses.end(), named) == accesses.end();
  const std::uint32_t at = one ? first->at : locate();
  known.emplace_back(accessed, at);
  add_at(at, kind, clocks);
}

// A memory callback sees the registers as the block started, so only a hook on each load tells
// which one reads: asked for here, in place from the next run on.
std::uint32_t Profile::load_reading_flash(const std::function<std::uint32_t()>& locate) {
  if (last_load_ >= current_->addr && last_load_ < current_end_) return last_load_;
  if (!current_->loads_watched) {
    current_->loads_watched = true;
    for (const Access& a : current_->accesses) {
      if (a.load && watched_.insert(a.at).second) to_watch_.push_back(a.at);
    }
  }
  return locate();
}

void Profile::add_at(std::uint32_t at, Event kind, std::uint64_t clocks) {
  const bool inside = current_ && at >= current_->addr && at < current_end_;
  Costs* c = inside ? &current_->extra[(at - current_->addr) / kWord] : &stray_[at];
  (*c)[index(Event::Cycles)] += clocks;
  totals_[index(Event::Cycles)] += clocks;
  if (kind == Event::Cycles) return;
  (*c)[index(kind)] += clocks;
  totals_[index(kind)] += clocks;
}

void Profile::settled_in_block(std::uint32_t index, std::uint64_t clocks) {
  if (clocks != 0) settled(current_ ? current_->addr + index * kWord : 0, clocks);
}

void Profile::repeat(std::uint64_t passes, std::uint64_t pass, std::uint64_t apb_wait) {
  if (!current_ || passes == 0) return;
  current_->runs += passes;
  totals_[index(Event::Instructions)] += passes * current_->weights.size();
  totals_[index(Event::Cycles)] += passes * current_->weight_sum;
  add_to_last(static_cast<std::int64_t>(passes * (pass - apb_wait)) -
              static_cast<std::int64_t>(passes * current_->weight_sum));
  if (apb_wait != 0) add_at(current_->addr, Event::ApbWait, passes * apb_wait);
}

void Profile::end_run() {
  while (!stack_.empty()) {
    close(stack_.back());
    stack_.pop_back();
  }
  current_ = nullptr;
}

void Profile::close(const Frame& f) {
  Edge& e = edges_[{f.site, f.callee}];
  e.count += 1;
  for (std::size_t i = 0; i < kEvents; ++i) e.inclusive[i] += totals_[i] - f.at_call[i];
}

std::map<std::uint32_t, Costs> Profile::self_costs() const {
  std::map<std::uint32_t, Costs> self = stray_;
  for (const auto& [block, c] : blocks_) {
    for (std::size_t i = 0; i < c.weights.size(); ++i) {
      Costs& s = self[c.addr + static_cast<std::uint32_t>(i) * kWord];
      std::uint64_t cycles = c.runs * c.weights[i];
      if (i + 1 == c.weights.size()) cycles += static_cast<std::uint64_t>(c.on_last);
      s[index(Event::Cycles)] += cycles;
      s[index(Event::Instructions)] += c.runs;
      add(s, c.extra[i]);
    }
  }
  return self;
}

void Profile::write(const std::string& path, const ElfImage& image,
                    const std::string& command) const {
  const SourceLines lines(image.name());
  runner::StagedFile staged(path);
  errno = 0;
  std::ofstream out(staged.temp_path());
  out << "# callgrind format\nversion: 1\ncreator: lpcdemo (emulated LPC2138)\n"
      << "cmd: " << command << "\npositions: instr line\n"
      << "event: Cycles : processor clocks\nevent: Instructions : instructions executed\n"
      << "event: FlashWait : flash accelerator wait clocks\n"
      << "event: ApbWait : APB bridge wait clocks\n"
      << "events: Cycles Instructions FlashWait ApbWait\nsummary: " << totals_ << "\n\n"
      << "ob=" << image.name() << "\n";

  auto edge = edges_.begin();
  std::optional<std::uint32_t> entry;
  const std::string* fn_file = nullptr;
  const std::string* file = nullptr;
  for (const auto& [addr, costs] : self_costs()) {
    const Function fn = function_at(image, addr);
    if (fn.entry != entry) {
      entry = fn.entry;
      fn_file = file = lines.at(fn.entry).unit;
      out << "\nfl=" << *file << "\nfn=" << fn.name << "\n";
    }
    const SourceLines::Place here = lines.at(addr);
    if (here.file != file) {
      file = here.file;
      out << (file == fn_file ? "fe=" : "fi=") << *file << "\n";
    }
    out << hex(addr) << ' ' << here.line << ' ' << costs << "\n";
    for (; edge != edges_.end() && edge->first.first <= addr; ++edge) {
      if (edge->first.first != addr) continue;
      const auto [site, callee] = edge->first;
      const Function to = function_at(image, callee);
      out << "cfi=" << *lines.at(to.entry).unit << "\ncfn=" << to.name
          << "\ncalls=" << edge->second.count << ' ' << hex(callee) << ' ' << lines.at(callee).line
          << "\n"
          << hex(site) << ' ' << here.line << ' ' << edge->second.inclusive << "\n";
    }
  }
  out << "\ntotals: " << totals_ << "\n";
  out.close();
  if (out.fail()) {
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno ? errno : EIO));
  }
  staged.commit();
}

}  // namespace emu
