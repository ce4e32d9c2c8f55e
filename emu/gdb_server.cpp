#include "emu/gdb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "emu/flash.h"
#include "hw/lpc2138.h"
#include "sim/refusal.h"

namespace emu {
namespace {

constexpr std::uint8_t kInterrupt = 0x03;  // what GDB sends for Ctrl-C
constexpr std::size_t kMaxPacket = 0x4000;
constexpr std::size_t kMaxMemory = kMaxPacket / 2;  // bytes one 'm' reply carries at the most
// An ARM7TDMI in ARM state: the core registers, cpsr numbered as GDB numbers it for ARM.
constexpr std::string_view kTargetXml =
    "<?xml version=\"1.0\"?>"
    "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">"
    "<target><architecture>armv4t</architecture>"
    "<feature name=\"org.gnu.gdb.arm.core\">"
    "<reg name=\"r0\" bitsize=\"32\"/><reg name=\"r1\" bitsize=\"32\"/>"
    "<reg name=\"r2\" bitsize=\"32\"/><reg name=\"r3\" bitsize=\"32\"/>"
    "<reg name=\"r4\" bitsize=\"32\"/><reg name=\"r5\" bitsize=\"32\"/>"
    "<reg name=\"r6\" bitsize=\"32\"/><reg name=\"r7\" bitsize=\"32\"/>"
    "<reg name=\"r8\" bitsize=\"32\"/><reg name=\"r9\" bitsize=\"32\"/>"
    "<reg name=\"r10\" bitsize=\"32\"/><reg name=\"r11\" bitsize=\"32\"/>"
    "<reg name=\"r12\" bitsize=\"32\"/><reg name=\"sp\" bitsize=\"32\" type=\"data_ptr\"/>"
    "<reg name=\"lr\" bitsize=\"32\"/><reg name=\"pc\" bitsize=\"32\" type=\"code_ptr\"/>"
    "<reg name=\"cpsr\" bitsize=\"32\" regnum=\"25\"/>"
    "</feature></target>";
constexpr unsigned kGdbCpsrNumber = 25;

char hex_digit(unsigned v) {
  return "0123456789abcdef"[v & 0xF];
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
  std::string s;
  for (std::uint8_t b : bytes) {
    s += hex_digit(b >> 4);
    s += hex_digit(b);
  }
  return s;
}

// A register's value as the protocol carries it: its bytes in the target's order, little-endian
// here (not the 0x-prefixed hex of sim::hex_word).
std::string hex_target_word(std::uint32_t v) {
  const std::uint8_t le[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                              static_cast<std::uint8_t>(v >> 16),
                              static_cast<std::uint8_t>(v >> 24)};
  return hex_bytes(le);
}

std::optional<std::uint32_t> parse_hex(std::string_view text) {
  std::uint32_t v = 0;
  if (text.empty() || text.size() > 8) return std::nullopt;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), v, 16);
  if (err != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<std::vector<std::uint8_t>> parse_bytes(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto b = parse_hex(text.substr(i, 2));
    if (!b) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*b));
  }
  return bytes;
}

std::optional<std::uint32_t> parse_word(std::string_view text) {
  const auto bytes = parse_bytes(text);
  if (!bytes || bytes->size() != 4) return std::nullopt;
  return std::uint32_t{(*bytes)[0]} | std::uint32_t{(*bytes)[1]} << 8 |
         std::uint32_t{(*bytes)[2]} << 16 | std::uint32_t{(*bytes)[3]} << 24;
}

// "addr,length" as the memory and point packets carry them.
std::optional<std::pair<std::uint32_t, std::uint32_t>> parse_range(std::string_view text) {
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const auto addr = parse_hex(text.substr(0, comma));
  const auto length = parse_hex(text.substr(comma + 1));
  if (!addr || !length) return std::nullopt;
  return std::pair{*addr, *length};
}

// Binary data as X and vFlashWrite carry it: '}' escapes the next byte XOR 0x20 ('#', '$', '}'
// and '*' come escaped).
std::vector<std::uint8_t> unescape(std::string_view data) {
  constexpr char kEscape = '}';
  constexpr std::uint8_t kEscapeXor = 0x20;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const bool escaped = data[i] == kEscape && i + 1 < data.size();
    if (escaped) ++i;
    bytes.push_back(static_cast<std::uint8_t>(data[i]) ^ (escaped ? kEscapeXor : 0));
  }
  return bytes;
}

// The chip's memory as GDB's memory map describes it: flash in runs of equal sectors (GDB erases
// whole blocks of its blocksize before `load` writes them), the boot block read-only, RAM and
// the peripheral windows.
std::string make_memory_map() {
  namespace chip = lpc2138;
  std::string xml =
      "<?xml version=\"1.0\"?>"
      "<!DOCTYPE memory-map PUBLIC \"+//IDN gnu.org//DTD GDB Memory Map V1.0//EN\" "
      "\"http://sourceware.org/gdb/gdb-memory-map.dtd\">"
      "<memory-map>";
  auto region = [&xml](const char* type, std::uint32_t start, std::uint32_t length,
                       std::uint32_t block) {
    char line[160];
    std::snprintf(line, sizeof line, "<memory type=\"%s\" start=\"0x%x\" length=\"0x%x\"", type,
                  static_cast<unsigned>(start), static_cast<unsigned>(length));
    xml += line;
    if (block == 0) {
      xml += "/>";
      return;
    }
    std::snprintf(line, sizeof line, "><property name=\"blocksize\">0x%x</property></memory>",
                  static_cast<unsigned>(block));
    xml += line;
  };
  for (unsigned first = 0, s = 1; s <= kSectors; ++s) {
    if (s < kSectors && sector_size(s) == sector_size(first)) continue;
    region("flash", sector_start(first),
           sector_start(s - 1) + sector_size(s - 1) - sector_start(first), sector_size(first));
    first = s;
  }
  region("rom", kUserFlashEnd, chip::FLASH_SIZE - kUserFlashEnd, 0);
  region("ram", chip::FIO_BASE, chip::FIO_SIZE, 0);
  region("ram", chip::RAM_BASE, chip::RAM_SIZE, 0);
  region("ram", chip::APB_BASE, chip::APB_SIZE, 0);
  region("ram", chip::VIC_BASE, chip::VIC_SIZE, 0);
  return xml + "</memory-map>";
}

// A document read by qXfer in pieces: 'm' while more follows, 'l' for the piece that ends it.
std::string xfer_piece(std::string_view document, std::string_view args) {
  const std::size_t colon = args.find(':');  // an annex GDB names (none for the memory map)
  const auto range = parse_range(colon == std::string_view::npos ? args : args.substr(colon + 1));
  if (!range) return "E01";
  const std::size_t offset = range->first;
  if (offset >= document.size()) return "l";
  const std::string_view part = document.substr(offset, range->second);
  return (offset + part.size() >= document.size() ? "l" : "m") + std::string(part);
}

std::string console_packet(const std::string& text) {
  const std::string line = text + "\n";
  return "O" + hex_bytes({reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
}

bool is_resume(std::string_view p) {
  return !p.empty() &&
         (p[0] == 'c' || p[0] == 'C' || p[0] == 's' || p[0] == 'S' || p.starts_with("vCont;"));
}

constexpr std::string_view kMonitorHelp[] = {
    "monitor commands of the emulated LPC2138:",
    "  reset halt     the chip back to its reset vector and held there: flash kept, RAM as",
    "                 after power-up, the board's peripherals and the LCD reset; the program",
    "                 then runs from reset to its halt (the demo's run, whatever the session",
    "                 ran before) once GDB lets it go on",
    "  reset [run]    the same, and the program runs at once; GDB's next request stops it",
    "                 where it got to ('continue' lets it go on)",
    "                 (either holds the chip where it is if the vector words do not sum to zero:",
    "                 the boot loader would not start the program; load writes their checksum)",
    "  cycles         processor clocks since the stopwatch was zeroed or the chip reset, up to",
    "                 the instruction the program stopped at; the board's own clock runs on",
    "  cycles 0       zero the stopwatch (also: cycles reset)",
    "  help           this list"};

std::string stop_reply(const StopReason& why) {
  char sig[4];
  std::snprintf(sig, sizeof sig, "%02x", static_cast<int>(why.signal));
  std::string r = std::string("T") + sig;
  switch (why.kind) {
    case StopReason::SoftwareBreak:
      r += "swbreak:;";
      break;
    case StopReason::HardwareBreak:
      r += "hwbreak:;";
      break;
    case StopReason::Watch: {
      const char* name = why.watch == WatchKind::Write  ? "watch"
                         : why.watch == WatchKind::Read ? "rwatch"
                                                        : "awatch";
      char addr[16];
      std::snprintf(addr, sizeof addr, "%x", static_cast<unsigned>(why.address));
      r += std::string(name) + ":" + addr + ";";
      break;
    }
    case StopReason::Plain:
      break;
  }
  return r;
}

const std::string kOk = "OK";
const std::string kError = "E01";

}  // namespace

GdbServer::GdbServer(int port) {
  const std::string where = "127.0.0.1:" + std::to_string(port);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    throw sim::Refusal("cannot listen for GDB on " + where + ": " + std::strerror(errno));
  }
  const int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // this machine only
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1) != 0) {
    const std::string why = std::strerror(errno);
    ::close(listener);
    throw sim::Refusal("cannot listen for GDB on " + where + ": " + why);
  }
  std::fprintf(stderr, "lpcdemo: waiting for gdb on %s\n", where.c_str());
  fd_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  if (fd_ < 0) {
    throw std::runtime_error("no debugger connected on " + where + ": " + std::strerror(errno));
  }
}

GdbServer::~GdbServer() {
  close_connection();
}

void GdbServer::close_connection() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool GdbServer::read_byte(std::uint8_t& byte) {
  if (!buffered_.empty()) {
    byte = static_cast<std::uint8_t>(buffered_.front());
    buffered_.erase(0, 1);
    return true;
  }
  const ssize_t n = ::recv(fd_, &byte, 1, 0);
  return n == 1;
}

bool GdbServer::read_packet(std::string& packet) {
  std::uint8_t c = 0;
  while (true) {
    // Acknowledgements and a Ctrl-C that came late are not packets.
    do {
      if (!read_byte(c)) return false;
    } while (c != '$');
    packet.clear();
    unsigned sum = 0;
    while (read_byte(c) && c != '#') {
      if (packet.size() == kMaxPacket) return false;
      packet += static_cast<char>(c);
      sum += c;
    }
    std::uint8_t check[2];
    if (c != '#' || !read_byte(check[0]) || !read_byte(check[1])) return false;
    const auto given = parse_hex(std::string_view(reinterpret_cast<char*>(check), 2));
    const bool good = given && *given == (sum & 0xFF);
    if (acks_ && ::send(fd_, good ? "+" : "-", 1, MSG_NOSIGNAL) != 1) return false;
    if (good || !acks_) return true;
  }
}

bool GdbServer::send_packet(const std::string& body) {
  unsigned sum = 0;
  for (char ch : body) sum += static_cast<std::uint8_t>(ch);
  char tail[4];
  std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFF);
  const std::string framed = "$" + body + tail;
  constexpr int kTries = 3;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    if (::send(fd_, framed.data(), framed.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(framed.size())) {
      return false;
    }
    if (!acks_) return true;
    std::uint8_t ack = 0;
    do {
      if (!read_byte(ack)) return false;
    } while (ack != '+' && ack != '-');
    if (ack == '+') return true;
  }
  return false;
}

Resume GdbServer::stopped(const StopReason& why, GdbTarget& target) {
  if (!connected()) return Resume::Detach;
  StopReason told = why;
  if (why.kind == StopReason::SoftwareBreak &&
      hardware_breaks_.contains(target.registers()[GdbTarget::kPc])) {
    told.kind = StopReason::HardwareBreak;  // GDB inserted it as one (Z1: in flash, by the map)
  }
  last_stop_ = stop_reply(told);
  if (unasked_) {
    // Run by `monitor reset run`: GDB waits for no stop. One that GDB's own packet did not
    // make answers its next resume.
    unasked_ = false;
    stop_untold_ = !packet_came_;
  } else if (running_ && !send_packet(last_stop_)) {
    // The first stop is the debugger's to ask for ('?'); later ones answer its resume.
    close_connection();
    return Resume::Detach;
  }
  running_ = false;
  const Resume r = serve(target);
  running_ = true;
  return r;
}

Resume GdbServer::serve(GdbTarget& target) {
  std::string packet;
  while (read_packet(packet)) {
    if (stop_untold_ && is_resume(packet)) {
      stop_untold_ = false;
      if (!send_packet(last_stop_)) break;
      continue;
    }
    Resume resume = Resume::Continue;
    bool resumes = false;
    const std::string reply = answer(packet, target, resume, resumes);
    if (resumes) {
      if (!reply.empty()) send_packet(reply);  // what 'D' and vKill answer before going
      if (!unasked_) {
        for (const std::string& line : untold_lines_) send_packet(console_packet(line));
      }
      untold_lines_.clear();
      if (resume == Resume::Detach || resume == Resume::Kill) close_connection();
      return resume;
    }
    if (!send_packet(reply)) break;
    if (acks_off_after_reply_) acks_ = false;
  }
  close_connection();  // a dropped connection: the program goes on as if detached
  return Resume::Detach;
}

bool GdbServer::interrupted() {
  if (!connected()) return false;
  pollfd p{fd_, POLLIN, 0};
  while (::poll(&p, 1, 0) > 0) {
    if (!(p.revents & POLLIN)) {
      close_connection();
      return false;
    }
    std::uint8_t c = 0;
    const ssize_t n = ::recv(fd_, &c, 1, 0);
    if (n != 1) {
      close_connection();  // gone while the program ran: it goes on without the debugger
      return false;
    }
    if (c == kInterrupt) return true;
    if (c == '$') {
      buffered_ += static_cast<char>(c);  // a packet sent early; read it when stopped
      packet_came_ = unasked_;            // GDB, unaware the program runs, stops it so
      return unasked_;
    }
  }
  return false;
}

void GdbServer::console(const std::string& text) {
  if (!connected() || !running_ || unasked_) return;  // output is only for a running program
  if (!send_packet(console_packet(text))) close_connection();
}

void GdbServer::exited(int status) {
  if (!connected()) return;
  await_if_unasked();
  char r[8];
  std::snprintf(r, sizeof r, "W%02x", status & 0xFF);
  send_packet(r);
  close_connection();
}

void GdbServer::terminated(Signal signal) {
  if (!connected()) return;
  await_if_unasked();
  char r[8];
  std::snprintf(r, sizeof r, "X%02x", static_cast<int>(signal));
  send_packet(r);
  close_connection();
}

std::string GdbServer::answer(const std::string& packet, GdbTarget& target, Resume& resume,
                              bool& resumes) {
  const std::string_view p = packet;
  const std::string_view args = p.empty() ? p : p.substr(1);
  auto go = [&](Resume r, const std::string& reply = "") {
    resume = r;
    resumes = true;
    return reply;
  };
  if (p.empty()) return "";
  switch (p[0]) {
    case '?':
      return last_stop_;
    case 'g': {
      std::string r;
      for (std::uint32_t v : target.registers()) r += hex_target_word(v);
      return r;
    }
    case 'G': {
      const auto regs = target.registers();
      if (args.size() != regs.size() * 8) return kError;
      for (unsigned i = 0; i < regs.size(); ++i) {
        const auto v = parse_word(args.substr(i * 8, 8));
        if (!v) return kError;
        target.set_register(i, *v);
      }
      return kOk;
    }
    case 'p':
    case 'P': {
      const std::size_t eq = args.find('=');
      const auto n = parse_hex(p[0] == 'p' ? args : args.substr(0, eq));
      if (!n) return kError;
      const unsigned index = *n == kGdbCpsrNumber ? GdbTarget::kCpsr : *n;
      if (index >= GdbTarget::kRegisters) return p[0] == 'p' ? "xxxxxxxx" : kError;
      if (p[0] == 'p') return hex_target_word(target.registers()[index]);
      const auto v = eq == std::string_view::npos ? std::nullopt : parse_word(args.substr(eq + 1));
      if (!v) return kError;
      target.set_register(index, *v);
      return kOk;
    }
    case 'm':
      return memory(std::string(args), target);
    case 'M':
      return write_memory(std::string(args), target);
    case 'X':
      return write_binary(args, target);
    case 'c':
    case 'C':
      step_range_.reset();
      return go(Resume::Continue);
    case 's':
    case 'S':
      step_range_.reset();
      return go(Resume::Step);
    case 'D':
      return go(Resume::Detach, kOk);
    case 'k':
      return go(Resume::Kill);  // no reply
    case 'H':
    case 'T':
      return kOk;  // one thread
    case 'Z':
    case 'z':
      return point(packet, target);
    default:
      break;
  }
  if (p.starts_with("qSupported")) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", kMaxPacket);  // GDB reads it as hex
    return "PacketSize=" + std::string(size) +
           ";qXfer:features:read+;qXfer:memory-map:read+;swbreak+;hwbreak+;vContSupported+;"
           "QStartNoAckMode+";
  }
  if (p.starts_with("qXfer:features:read:target.xml:")) {
    return features(
        std::string(p.substr(std::string_view("qXfer:features:read:target.xml:").size())));
  }
  if (p == "QStartNoAckMode") {
    acks_off_after_reply_ = true;  // GDB still acknowledges this reply
    return kOk;
  }
  if (p == "qAttached") return "1";
  if (p == "qC") return "QC1";
  if (p == "qfThreadInfo") return "m1";
  if (p == "qsThreadInfo") return "l";
  if (p == "qSymbol::") return kOk;
  if (p == "vCont?") return "vCont;c;C;s;S;r";
  if (p.starts_with("vCont;")) return resume_action(p.substr(6), resume, resumes);
  if (p.starts_with("vKill")) return go(Resume::Kill, kOk);
  if (p.starts_with("qXfer:memory-map:read:")) {
    return memory_map(p.substr(std::string_view("qXfer:memory-map:read:").size()));
  }
  if (p.starts_with("vFlash")) return flash_packet(p, target);
  if (p.starts_with("qRcmd,")) return monitor(p.substr(6), target, resume, resumes);
  return "";  // not supported: GDB does without
}

// The first action of vCont (one thread: the first is the one for it), ":thread" left off:
// c/C continue, s/S a step, "r start,end" a step on while the pc is in [start, end).
std::string GdbServer::resume_action(std::string_view action, Resume& resume, bool& resumes) {
  action = action.substr(0, action.find_first_of(":;"));
  step_range_.reset();
  resumes = true;
  resume = Resume::Continue;
  if (action.empty()) return "";
  if (action[0] == 'r') {
    const auto range = parse_range(action.substr(1));
    if (!range) {
      resumes = false;
      return kError;
    }
    step_range_ = StepRange{range->first, range->second};
  }
  if (action[0] == 's' || action[0] == 'S' || action[0] == 'r') resume = Resume::Step;
  return "";
}

std::string GdbServer::memory(const std::string& args, GdbTarget& target) {
  const auto range = parse_range(args);
  if (!range || range->second > kMaxMemory) return kError;
  std::vector<std::uint8_t> bytes(range->second);
  if (!target.read_memory(range->first, bytes)) return kError;
  return hex_bytes(bytes);
}

std::string GdbServer::write_memory(const std::string& args, GdbTarget& target) {
  const std::size_t colon = args.find(':');
  const auto range = parse_range(std::string_view(args).substr(0, colon));
  if (!range || colon == std::string::npos) return kError;
  const auto bytes = parse_bytes(std::string_view(args).substr(colon + 1));
  if (!bytes || bytes->size() != range->second) return kError;
  return target.write_memory(range->first, *bytes) ? kOk : kError;
}

// X addr,length:data, the data as bytes (unescape).
std::string GdbServer::write_binary(std::string_view args, GdbTarget& target) {
  const std::size_t colon = args.find(':');
  const auto range = parse_range(args.substr(0, colon));
  if (!range || colon == std::string::npos) return kError;
  const std::vector<std::uint8_t> bytes = unescape(args.substr(colon + 1));
  if (bytes.size() != range->second) return kError;
  if (bytes.empty()) return kOk;  // GDB asks so whether X is understood
  return target.write_memory(range->first, bytes) ? kOk : kError;
}

// Z/z type,addr,kind: 0 software and 1 hardware breakpoints, 2 write, 3 read, 4 access
// watchpoints.
std::string GdbServer::point(const std::string& packet, GdbTarget& target) {
  const bool on = packet[0] == 'Z';
  if (packet.size() < 4 || packet[2] != ',') return kError;
  const auto range = parse_range(std::string_view(packet).substr(3));
  if (!range) return kError;
  bool done = false;
  switch (packet[1]) {
    case '0':
    case '1':
      done = target.set_breakpoint(range->first, on);
      if (done && packet[1] == '1' && on) hardware_breaks_.insert(range->first);
      if (done && !on) hardware_breaks_.erase(range->first);
      break;
    case '2':
      done = target.set_watchpoint(WatchKind::Write, range->first, range->second, on);
      break;
    case '3':
      done = target.set_watchpoint(WatchKind::Read, range->first, range->second, on);
      break;
    case '4':
      done = target.set_watchpoint(WatchKind::Access, range->first, range->second, on);
      break;
    default:
      return "";
  }
  return done ? kOk : kError;
}

std::string GdbServer::features(const std::string& args) const {
  const auto range = parse_range(args);
  if (!range) return kError;
  const std::size_t offset = range->first;
  if (offset >= kTargetXml.size()) return "l";
  const std::string_view part = kTargetXml.substr(offset, range->second);
  return (offset + part.size() >= kTargetXml.size() ? "l" : "m") + std::string(part);
}

// The program ended while GDB, unaware that it ran, waits for nothing: the end answers GDB's
// next packet.
void GdbServer::await_if_unasked() {
  if (!unasked_) return;
  unasked_ = false;
  std::string packet;
  if (!read_packet(packet)) close_connection();
}

std::string GdbServer::memory_map(std::string_view args) const {
  static const std::string xml = make_memory_map();
  return xfer_piece(xml, args);
}

// vFlashErase:addr,length, vFlashWrite:addr:data (binary), vFlashDone.
std::string GdbServer::flash_packet(std::string_view p, GdbTarget& target) {
  if (p.starts_with("vFlashErase:")) {
    const auto range = parse_range(p.substr(std::string_view("vFlashErase:").size()));
    return range && target.erase_flash(range->first, range->second) ? kOk : kError;
  }
  if (p.starts_with("vFlashWrite:")) {
    const std::string_view args = p.substr(std::string_view("vFlashWrite:").size());
    const std::size_t colon = args.find(':');
    const auto addr = parse_hex(args.substr(0, colon));
    if (!addr || colon == std::string_view::npos) return kError;
    return target.program_flash(*addr, unescape(args.substr(colon + 1))) ? kOk : kError;
  }
  if (p == "vFlashDone") {
    for (std::string& line : target.flash_done()) untold_lines_.push_back(std::move(line));
    return kOk;
  }
  return "";
}

// qRcmd,<command in hex>: its output in console packets, then OK (E01 for a command it does not
// know).
std::string GdbServer::monitor(std::string_view hex, GdbTarget& target, Resume& resume,
                               bool& resumes) {
  const auto bytes = parse_bytes(hex);
  if (!bytes) return kError;
  const std::string command(bytes->begin(), bytes->end());
  std::istringstream in(command);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  std::vector<std::string> said = std::move(untold_lines_);
  untold_lines_.clear();
  std::string reply = kOk;
  const std::string what = words.empty() ? "" : words[0];
  const std::string how = words.size() == 2 ? words[1] : "";
  if (what == "help" && words.size() == 1) {
    said.insert(said.end(), std::begin(kMonitorHelp), std::end(kMonitorHelp));
  } else if (what == "reset" && (words.size() == 1 || how == "halt" || how == "run")) {
    if (target.reset(said) && how != "halt") {
      resume = Resume::Continue;
      resumes = true;
      unasked_ = true;
      packet_came_ = false;
    }
  } else if (what == "cycles" && words.size() == 1) {
    said.push_back(std::to_string(target.cycles()));
  } else if (what == "cycles" && (how == "0" || how == "reset")) {
    target.zero_cycles();
  } else {
    said.push_back("no monitor command \"" + command + "\"; \"monitor help\" lists them");
    reply = kError;
  }
  for (const std::string& line : said) {
    if (!send_packet(console_packet(line))) break;
  }
  return reply;
}

}  // namespace emu
