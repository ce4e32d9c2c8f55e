// The GDB stub on a socket pair, the input as everything the debugger sends: packets, their
// checksums, acknowledgements and interrupts. The stub answers and resumes the program as it
// is asked, stop after stop, until the input ends (a dropped connection). Besides a crash or a
// sanitizer report, a fault is anything it sends that is neither an acknowledgement nor a
// packet whose checksum matches.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "emu/gdb_server.h"

namespace {

// 64 KB of memory at 0; registers as set.
class Target final : public emu::GdbTarget {
 public:
  std::array<std::uint32_t, kRegisters> registers() override { return regs_; }
  void set_register(unsigned n, std::uint32_t value) override { regs_.at(n) = value; }
  bool read_memory(std::uint32_t addr, std::span<std::uint8_t> out) override {
    if (!inside(addr, out.size())) return false;
    std::copy_n(memory_.begin() + addr, out.size(), out.begin());
    return true;
  }
  bool write_memory(std::uint32_t addr, std::span<const std::uint8_t> in) override {
    if (!inside(addr, in.size())) return false;
    std::copy(in.begin(), in.end(), memory_.begin() + addr);
    return true;
  }
  bool set_breakpoint(std::uint32_t addr, bool) override { return inside(addr, 4); }
  bool set_watchpoint(emu::WatchKind, std::uint32_t addr, std::uint32_t length, bool) override {
    return inside(addr, length);
  }

 private:
  bool inside(std::uint32_t addr, std::size_t length) const {
    return addr < memory_.size() && length <= memory_.size() - addr;
  }
  std::array<std::uint32_t, kRegisters> regs_{};
  std::vector<std::uint8_t> memory_ = std::vector<std::uint8_t>(0x10000);
};

void send_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) std::abort();
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Every kind of stop in turn, as a run under a debugger meets them.
emu::StopReason stop(int k) {
  constexpr emu::Signal kSignals[] = {emu::Signal::Trap, emu::Signal::Segv, emu::Signal::Illegal,
                                      emu::Signal::Interrupt, emu::Signal::Alarm};
  emu::StopReason why;
  why.signal = kSignals[k % std::size(kSignals)];
  why.kind = static_cast<emu::StopReason::Kind>(k % 4);
  why.watch = static_cast<emu::WatchKind>(k % 3);
  why.address = static_cast<std::uint32_t>(k) * 4;
  return why;
}

[[noreturn]] void fail(const char* what, std::size_t at) {
  std::fprintf(stderr, "fuzz: the stub sent %s at byte %zu\n", what, at);
  std::abort();
}

void check_framing(const std::string& sent) {
  std::size_t i = 0;
  while (i < sent.size()) {
    if (sent[i] == '+' || sent[i] == '-') {
      ++i;
      continue;
    }
    if (sent[i] != '$') fail("a byte outside a packet", i);
    const std::size_t hash = sent.find('#', i + 1);
    if (hash == std::string::npos || hash + 3 > sent.size()) fail("an unterminated packet", i);
    unsigned sum = 0;
    for (std::size_t k = i + 1; k < hash; ++k) {
      if (sent[k] == '$') fail("a '$' inside a packet", k);
      sum += static_cast<std::uint8_t>(sent[k]);
    }
    if (std::strtoul(sent.substr(hash + 1, 2).c_str(), nullptr, 16) != (sum & 0xFF)) {
      fail("a wrong checksum", hash);
    }
    i = hash + 3;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr int kMaxStops = 10000;  // each stop takes input; this only bounds the loop
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  const int debugger = fds[1];
  send_all(debugger, data, size);  // far less than a socket's buffer
  ::shutdown(debugger, SHUT_WR);
  std::string sent;
  std::thread reader([debugger, &sent] {
    char block[4096];
    ssize_t n = 0;
    while ((n = ::read(debugger, block, sizeof block)) > 0) sent.append(block, n);
  });
  {
    emu::GdbServer server(emu::GdbServer::Connection{fds[0]});
    Target target;
    for (int k = 0; server.connected() && k < kMaxStops; ++k) {
      const emu::Resume r = server.stopped(stop(k), target);
      if (r == emu::Resume::Detach || r == emu::Resume::Kill) break;
      server.console("finding");
      if (server.interrupted()) continue;
    }
    server.exited(0);
  }
  reader.join();
  ::close(debugger);
  check_framing(sent);
  return 0;
}
