// The profile in callgrind's format (Profile::write): per instruction, by function, file and
// line, with the calls' inclusive costs.
#include <cxxabi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "emu/profile.h"
#include "runner/output.h"
#include "sim/format.h"

namespace emu {
namespace {

std::ostream& operator<<(std::ostream& out, const Costs& c) {
  return out << c[0] << ' ' << c[1] << ' ' << c[2] << ' ' << c[3];
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
    out << sim::hex_word(addr) << ' ' << here.line << ' ' << costs << "\n";
    for (; edge != edges_.end() && edge->first.first <= addr; ++edge) {
      if (edge->first.first != addr) continue;
      const auto [site, callee] = edge->first;
      const Function to = function_at(image, callee);
      out << "cfi=" << *lines.at(to.entry).unit << "\ncfn=" << to.name
          << "\ncalls=" << edge->second.count << ' ' << sim::hex_word(callee) << ' '
          << lines.at(callee).line << "\n"
          << sim::hex_word(site) << ' ' << here.line << ' ' << edge->second.inclusive << "\n";
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
