// The GDB server on one end of a socket pair, a client speaking the remote protocol by hand on
// the other: framing, acknowledgements and replies, against a target that records what it was
// asked to do.
#include "emu/gdb_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace emu
