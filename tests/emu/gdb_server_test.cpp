// The GDB server on one end of a socket pair, a client speaking the remote protocol by hand on
// the other: framing, acknowledgements and replies, against a target that records what it was
// asked to do.
#include "emu/gdb_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "emu/flash.h"

namespace emu {
namespace {

class RecordingTarget : public GdbTarget {
 public:
  std::array<std::uint32_t, kRegisters> regs{};
  std::vector<std::string> done;  // what was changed

  RecordingTarget() {
    for (unsigned i = 0; i < kRegisters; ++i) regs[i] = 0x1000 + i;
    regs[kCpsr] = 0x600000D3;  // Z and C set, IRQ and FIQ masked, supervisor mode
  }
  std::array<std::uint32_t, kRegisters> registers() override { return regs; }
  void set_register(unsigned n, std::uint32_t) override {
    done.push_back("register " + std::to_string(n));
  }
  bool read_memory(std::uint32_t, std::span<std::uint8_t> out) override {
    for (auto& b : out) b = 0xAB;
    return true;
  }
  bool write_memory(std::uint32_t addr, std::span<const std::uint8_t> in) override {
    done.push_back("write " + std::to_string(addr) + " " + std::to_string(in.size()));
    return true;
  }
  bool set_breakpoint(std::uint32_t, bool) override { return true; }
  bool set_watchpoint(WatchKind, std::uint32_t, std::uint32_t, bool) override { return true; }
  bool erase_flash(std::uint32_t addr, std::uint32_t length) override {
    done.push_back("erase " + std::to_string(addr) + " " + std::to_string(length));
    return true;
  }
  bool program_flash(std::uint32_t addr, std::span<const std::uint8_t> data) override {
    std::string bytes;
    for (std::uint8_t b : data) bytes += " " + std::to_string(b);
    done.push_back("program " + std::to_string(addr) + ":" + bytes);
    return true;
  }
  std::vector<std::string> flash_done() override { return {"programmed"}; }
  bool reset(std::vector<std::string>& said) override {
    said.push_back("reset");
    return true;
  }
  std::uint64_t cycles() override { return 1234567890123; }
  void zero_cycles() override { done.push_back("zero"); }
};

// The debugger's end: every read gives up after a few seconds, so a server that hangs fails the
// test instead of holding it.
class Client {
 public:
  explicit Client(int fd) : fd_(fd) {
    timeval limit{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~Client() { ::close(fd_); }

  void send_raw(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  static std::string framed(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum += static_cast<unsigned char>(c);
    char tail[4];
    std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFF);
    return "$" + body + tail;
  }
  char byte() {
    char c = 0;
    return ::recv(fd_, &c, 1, 0) == 1 ? c : '\0';
  }
  // The reply to a packet already acknowledged: its body, acknowledged in turn.
  std::string reply() {
    char c = 0;
    while ((c = byte()) != '$') {
      if (c == '\0') return "<nothing>";
    }
    std::string body;
    while ((c = byte()) != '#') {
      if (c == '\0') return "<cut>";
      body += c;
    }
    byte();
    byte();
    send_raw("+");
    return body;
  }
  std::string ask(const std::string& body) {
    send_raw(framed(body));
    const char ack = byte();
    if (ack != '+') return std::string("<ack ") + ack + ">";
    return reply();
  }

 private:
  int fd_;
};

TEST(GdbServer, PacketsOverASocketPair) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  RecordingTarget target;
  Resume resumed = Resume::Continue;
  std::thread server_thread([&] {
    GdbServer server(GdbServer::Connection{fds[0]});
    resumed = server.stopped(StopReason{}, target);
  });
  // ASSERTs leave the conversation only: the client's end closes and the server returns.
  [&target, fd = fds[1]] {
    Client gdb(fd);
    // A bad checksum is refused with '-' and the packet is not acted on; sent again right, it is.
    gdb.send_raw("$M20000000,4:deadbeef#00");
    EXPECT_EQ(gdb.byte(), '-');
    EXPECT_TRUE(target.done.empty());
    EXPECT_EQ(gdb.ask("M20000000,4:deadbeef"), "OK");
    EXPECT_EQ(target.done, std::vector<std::string>{"write 536870912 4"});

    // Registers in the target's byte order; GDB numbers cpsr 25 (0x19) for ARM.
    EXPECT_EQ(gdb.ask("p19"), "d3000060");
    EXPECT_EQ(gdb.ask("pf"), "0f100000");
    EXPECT_EQ(gdb.ask("p1a"), "xxxxxxxx");

    // The target description in chunks: 'm' while more follows, 'l' for the chunk that reaches
    // the end, whether the request ends exactly there or runs past it.
    const std::string whole = gdb.ask("qXfer:features:read:target.xml:0,fff");
    ASSERT_GT(whole.size(), 100u);
    ASSERT_EQ(whole[0], 'l');
    const std::string xml = whole.substr(1);
    EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
    EXPECT_NE(xml.find("<reg name=\"cpsr\" bitsize=\"32\" regnum=\"25\"/>"), std::string::npos);
    const std::size_t n = xml.size();
    auto at = [](std::size_t offset, std::size_t length) {
      char args[32];
      std::snprintf(args, sizeof args, "%zx,%zx", offset, length);
      return std::string("qXfer:features:read:target.xml:") + args;
    };
    EXPECT_EQ(gdb.ask(at(n - 20, 10)), "m" + xml.substr(n - 20, 10));
    EXPECT_EQ(gdb.ask(at(n - 20, 19)), "m" + xml.substr(n - 20, 19));
    EXPECT_EQ(gdb.ask(at(n - 20, 20)), "l" + xml.substr(n - 20));
    EXPECT_EQ(gdb.ask(at(n - 20, 21)), "l" + xml.substr(n - 20));
    EXPECT_EQ(gdb.ask(at(n, 10)), "l");
    std::string read;  // as GDB reads it, 0x40 bytes at a time
    for (int chunk = 0; chunk < 100; ++chunk) {
      const std::string part = gdb.ask(at(read.size(), 0x40));
      read += part.substr(1);
      if (part[0] != 'm') break;
    }
    EXPECT_EQ(read, xml);

    EXPECT_EQ(gdb.ask("D"), "OK");
  }();
  server_thread.join();
  EXPECT_EQ(resumed, Resume::Detach);
  EXPECT_EQ(target.done.size(), 1u);
}

std::string hex_text(const std::string& text) {
  std::string hex;
  for (unsigned char c : text) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  return hex;
}

// GDB's `load` into flash, the memory map it reads first, and `monitor` commands: console
// output in O packets before the reply, and `reset run`, which lets the program go without GDB
// waiting for a stop.
TEST(GdbServer, FlashDownloadMemoryMapAndMonitor) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  RecordingTarget target;
  std::vector<Resume> resumed;
  std::atomic<int> stops_left{0};  // stopped() calls returned, which the client waits for
  std::thread server_thread([&] {
    GdbServer server(GdbServer::Connection{fds[0]});
    resumed.push_back(server.stopped(StopReason{}, target));  // until `monitor reset run`
    ++stops_left;
    // The program runs unasked until GDB's next packet.
    for (int i = 0; i < 500 && !server.interrupted(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    resumed.push_back(server.stopped(StopReason{.signal = Signal::Interrupt}, target));
    resumed.push_back(server.stopped(StopReason{.kind = StopReason::SoftwareBreak}, target));
    ++stops_left;
    // After another reset run, a breakpoint before GDB says anything.
    resumed.push_back(server.stopped(StopReason{.kind = StopReason::SoftwareBreak}, target));
  });
  [&target, &stops_left, fd = fds[1]] {
    Client gdb(fd);
    // The server lets the program go at once: its stopped() returns without GDB's resume.
    auto goes = [&stops_left](int n) {
      for (int i = 0; i < 100 && stops_left < n; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return stops_left == n;
    };
    const std::string supported = gdb.ask("qSupported:multiprocess+;swbreak+");
    EXPECT_NE(supported.find(";qXfer:memory-map:read+;"), std::string::npos) << supported;

    // The LPC2138's sectors (8 of 4 KB, 14 of 32 KB, 5 of 4 KB) in runs of one blocksize, the
    // boot block read-only; nothing in the document but its regions.
    const std::string map = gdb.ask("qXfer:memory-map:read::0,fff");
    ASSERT_EQ(map.substr(0, 6), "l<?xml") << map;
    const std::regex region(
        "<memory type=\"(\\w+)\" start=\"(0x[0-9a-f]+)\" length=\"(0x[0-9a-f]+)\""
        "(?:/>|><property name=\"blocksize\">(0x[0-9a-f]+)</property></memory>)");
    std::vector<std::string> regions;
    std::string rest = map;
    for (std::smatch m; std::regex_search(rest, m, region); rest = m.suffix()) {
      EXPECT_TRUE(regions.empty() || m.prefix().length() == 0) << m.prefix();  // nothing between
      regions.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str());
    }
    EXPECT_EQ(map.find("<memory-map>") + 12, map.find("<memory ")) << map;
    EXPECT_EQ(rest, "</memory-map>");
    EXPECT_EQ(regions,
              (std::vector<std::string>{"flash 0x0 0x8000 0x1000", "flash 0x8000 0x70000 0x8000",
                                        "flash 0x78000 0x5000 0x1000", "rom 0x7d000 0x3000 ",
                                        "ram 0x3fffc000 0x4000 ", "ram 0x40000000 0x8000 ",
                                        "ram 0xe0000000 0x200000 ", "ram 0xfffff000 0x1000 "}));
    EXPECT_EQ(gdb.ask("qXfer:memory-map:read::fff,10"), "l");

    // '}' escapes the next byte XOR 0x20: '}', '#', '$' and '*' come so.
    EXPECT_EQ(gdb.ask("vFlashErase:0,8000"), "OK");
    EXPECT_EQ(gdb.ask("vFlashWrite:7c:}]}\x03}\x04}\x0a"
                      "a"),
              "OK");
    EXPECT_EQ(gdb.ask("vFlashWrite:zz:a"), "E01");
    EXPECT_EQ(gdb.ask("vFlashErase:0"), "E01");
    // vFlashDone's reply is a plain OK (GDB takes no console output there); what the target
    // had to say comes before the next command's output.
    EXPECT_EQ(gdb.ask("vFlashDone"), "OK");
    EXPECT_EQ(gdb.ask("qRcmd," + hex_text("cycles")), "O" + hex_text("programmed\n"));
    EXPECT_EQ(gdb.reply(), "O" + hex_text("1234567890123\n"));
    EXPECT_EQ(gdb.reply(), "OK");
    EXPECT_EQ(gdb.ask("qRcmd," + hex_text("cycles 0")), "OK");
    EXPECT_EQ(gdb.ask("qRcmd," + hex_text("cycles reset")), "OK");
    EXPECT_EQ(gdb.ask("qRcmd," + hex_text("cycles 5")).substr(0, 1), "O");
    EXPECT_EQ(gdb.reply(), "E01");
    EXPECT_EQ(target.done, (std::vector<std::string>{
                               "erase 0 32768", "program 124: 125 35 36 42 97", "zero", "zero"}));
    EXPECT_EQ(gdb.ask("qRcmd," + hex_text("help")).substr(0, 1), "O");
    std::string help;
    for (std::string r; (r = gdb.reply()) != "OK" && r[0] == 'O';) help += r;
    for (const char* command : {"reset halt", "reset [run]", "cycles 0", "help"}) {
      EXPECT_NE(help.find(hex_text("  " + std::string(command) + " ")), std::string::npos)
          << command;
    }
    EXPECT_EQ(gdb.ask("qRcmd," + hex_text("reset halt")), "O" + hex_text("reset\n"));
    EXPECT_EQ(gdb.reply(), "OK");
    EXPECT_EQ(gdb.ask("m0,2"), "abab");  // held: the server still answers
    EXPECT_EQ(stops_left, 0);

    // reset run: the program goes; GDB's next packet stops it without a stop reply of its own.
    EXPECT_EQ(gdb.ask("qRcmd," + hex_text("reset run")), "O" + hex_text("reset\n"));
    EXPECT_EQ(gdb.reply(), "OK");
    EXPECT_TRUE(goes(1));
    EXPECT_EQ(gdb.ask("m0,2"), "abab");
    for (const char* p : {"Z1,100f,4", "z1,100f,4", "Z0,100f,4"}) EXPECT_EQ(gdb.ask(p), "OK");
    EXPECT_EQ(gdb.ask("c"), "T05swbreak:;");  // continued, it stops at a breakpoint
    EXPECT_EQ(gdb.ask("Z1,100f,4"), "OK");    // GDB's hardware breakpoint at the pc
    // A stop while GDB waited for none answers its next resume.
    EXPECT_EQ(gdb.ask("qRcmd," + hex_text("reset")), "O" + hex_text("reset\n"));
    EXPECT_EQ(gdb.reply(), "OK");
    EXPECT_TRUE(goes(2));
    EXPECT_EQ(gdb.ask("m0,2"), "abab");
    EXPECT_EQ(gdb.ask("vCont;c"), "T05hwbreak:;");
    EXPECT_EQ(gdb.ask("z1,100f,4"), "OK");
    EXPECT_EQ(gdb.ask("D"), "OK");
  }();
  server_thread.join();
  EXPECT_EQ(resumed, (std::vector<Resume>{Resume::Continue, Resume::Continue, Resume::Continue,
                                          Resume::Detach}));
}

// A download as a probe's LPC2000 flash driver makes it: whole sectors erased at once, the data
// held until done, programming that only clears bits, and the vector checksum in word 0x14.
TEST(FlashDownload, ErasesSectorsHoldsDataAndWritesTheChecksum) {
  Flash flash(std::vector<std::uint8_t>(kFlashSize, 0));  // every bit programmed
  FlashDownload load(flash);
  const struct {
    std::uint32_t addr, length;
    bool erased;
  } erases[] = {
      {0x1000, 0x1000, true},    // sector 1
      {0x8000, 0x8000, true},    // sector 8, the first of 32 KB
      {0x7C000, 0x1000, true},   // sector 26, the last below the boot block
      {0x7000, 0x2000, false},   // sector 7 and half of 8
      {0x1800, 0x800, false},    // from inside a sector
      {0x7C000, 0x2000, false},  // into the boot block
      {0x7D000, 0x1000, false},  // the boot block
      {0x2000, 0, false},
      // From sector 8 with a length whose end wraps past 2^32 to sector 0's end (0x1000).
      {0x8000, 0xFFFF9000, false},
  };
  for (const auto& e : erases) {
    const std::vector<std::uint8_t> before = flash.bytes();
    EXPECT_EQ(load.erase(e.addr, e.length), e.erased) << std::hex << e.addr;
    const auto& b = flash.bytes();
    if (!e.erased) {
      EXPECT_TRUE(b == before) << std::hex << e.addr;
      continue;
    }
    EXPECT_EQ(b[e.addr - 1], 0);
    EXPECT_EQ(b[e.addr], kErased);
    EXPECT_EQ(b[e.addr + e.length - 1], kErased);
    EXPECT_EQ(b[e.addr + e.length], 0);
  }
  ASSERT_TRUE(load.erase(0, 0x1000));
  // The vectors of the image as its listing shows them: five ldr pc, a nop at 0x14 where
  // lpc21isp writes the checksum, the IRQ's ldr pc from the VIC and the FIQ's.
  const std::uint32_t words[8] = {0xE59FF018, 0xE59FF018, 0xE59FF018, 0xE59FF018,
                                  0xE59FF018, 0xE1A00000, 0xE51FFFF0, 0xE59FF014};
  std::vector<std::uint8_t> vectors;
  for (std::uint32_t w : words) {
    for (int b = 0; b < 4; ++b) vectors.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
  }
  // In two packets, the second from the checksum word on.
  ASSERT_TRUE(load.write(0, std::span(vectors).first(0x14)));
  ASSERT_TRUE(load.write(0x14, std::span(vectors).subspan(0x14)));
  ASSERT_TRUE(load.write(0x1000, std::vector<std::uint8_t>{0x5A, 0xF0}));
  ASSERT_TRUE(load.write(0x2000, std::vector<std::uint8_t>{0xFF}));  // not erased: stays 0
  EXPECT_FALSE(load.write(0x7CFFF, std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(flash.bytes()[0], kErased);  // held until done
  const FlashDownload::Done done = load.done();
  const std::uint32_t checksum = 0u - (5 * 0xE59FF018u + 0xE51FFFF0u + 0xE59FF014u);
  ASSERT_TRUE(done.checksum);
  EXPECT_EQ(*done.checksum, checksum);
  EXPECT_EQ(done.replaced, 0xE1A00000u);
  const auto& b = flash.bytes();
  EXPECT_EQ(b[0x14] | b[0x15] << 8 | b[0x16] << 16 | std::uint32_t{b[0x17]} << 24, checksum);
  EXPECT_EQ(b[0x18], 0xF0);
  EXPECT_TRUE(flash.vectors_valid());
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 0x1000, b.begin() + 0x1003),
            (std::vector<std::uint8_t>{0x5A, 0xF0, kErased}));
  EXPECT_EQ(b[0x2000], 0);
  const auto changed = done.changed;
  EXPECT_NE(std::find(changed.begin(), changed.end(),
                      std::pair<std::uint32_t, std::uint32_t>{0x14, 0x20}),
            changed.end());
  EXPECT_NE(std::find(changed.begin(), changed.end(),
                      std::pair<std::uint32_t, std::uint32_t>{0x7C000, 0x7D000}),
            changed.end());
  // Without the vectors a download writes no checksum.
  ASSERT_TRUE(load.write(0x1004, std::vector<std::uint8_t>{0x11}));
  EXPECT_FALSE(load.done().checksum);
}

}  // namespace
}  // namespace emu
