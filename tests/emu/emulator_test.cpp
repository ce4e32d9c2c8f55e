// The emulator on a small hand-written image (probe.S): cycle estimates of known code, the
// board's clock, and every kind of fault it reports.
#include "emu/emulator.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim/audio.h"

namespace emu {
namespace {

const std::string kProbe = LPCDEMO_BINARY_DIR "/emu/probe.elf";

constexpr std::int32_t kMamFull = 2;
constexpr std::int32_t kOneClockFlash = 1;

struct Cost {
  std::uint64_t cycles = 0;
  std::uint64_t instructions = 0;
  bool operator==(const Cost&) const = default;
};

void PrintTo(const Cost& c, std::ostream* os) {
  *os << c.cycles << " clocks, " << c.instructions << " instructions";
}

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kProbe)) GTEST_SKIP() << "no probe image (arm-none-eabi-as)";
    emu_ = std::make_unique<Emulator>(kProbe, board_, options_);
  }

  Cost cost(std::string_view symbol, std::initializer_list<std::int32_t> args = {}) {
    const Counters before = emu_->counters();
    emu_->call(symbol, args);
    const Counters& after = emu_->counters();
    return {after.cycles - before.cycles, after.instructions - before.instructions};
  }
  // One-clock flash through the full accelerator: code then costs its core cycles only.
  void fast_flash() { emu_->call("mam_set", {kMamFull, kOneClockFlash}); }

  std::string findings() const {
    std::string all;
    for (const sim::Finding& f : board_.findings()) all += f.message + "\n";
    return all;
  }

  sim::Board board_{sim::make_audio("silence")};
  Options options_;
  std::unique_ptr<Emulator> emu_;
};

TEST_F(Probe, CountedLoopCostsItsCoreCycles) {
  fast_flash();
  // mov; 10 x subs; 9 x bne taken (3), 1 not taken (1); bx (3).
  EXPECT_EQ(cost("loop10"), (Cost{1 + 10 + 9 * 3 + 1 + 3, 1 + 2 * 10 + 1}));
  EXPECT_EQ(findings(), "");
}

TEST_F(Probe, SkippedInstructionsCostOneCycle) {
  fast_flash();
  // mov (1: the assembler turns the literal into an immediate), cmp (1), ldrne (3 executed,
  // 1 skipped), bx (3).
  EXPECT_EQ(cost("cond_exit", {0}).cycles, 1u + 1 + 1 + 3);
  EXPECT_EQ(cost("cond_exit", {1}).cycles, 1u + 1 + 3 + 3);
  // The same with the conditional load opening a block after a branch (3).
  EXPECT_EQ(cost("cond_entry", {0}).cycles, 1u + 1 + 3 + 1 + 3);
  EXPECT_EQ(cost("cond_entry", {1}).cycles, 1u + 1 + 3 + 3 + 3);
}

TEST_F(Probe, FlagsAndOperandsChangedWithinABlockAreReadAtTheInstruction) {
  fast_flash();
  // mov (1), cmp (1), ldrne (3 executed, 1 skipped), cmp (1), bx (3).
  EXPECT_EQ(cost("cond_between", {0}).cycles, 1u + 1 + 1 + 1 + 3);
  EXPECT_EQ(cost("cond_between", {1}).cycles, 1u + 1 + 3 + 1 + 3);
  // mov (1), mul (1 + m by r0), mov (1), bx (3).
  EXPECT_EQ(cost("mul_between", {0x7F, 5}).cycles, 1u + 1 + 1 + 1 + 3);
  EXPECT_EQ(cost("mul_between", {0x12345678, 5}).cycles, 1u + 1 + 4 + 1 + 3);
}

TEST_F(Probe, MultipliesTerminateEarlyOnSmallMultipliers) {
  fast_flash();
  // mul (1 + m), bx (3); m by the significant bytes of r0.
  EXPECT_EQ(cost("mul_entry", {0x7F, 5}).cycles, 1u + 1 + 3);
  EXPECT_EQ(cost("mul_entry", {-2, 5}).cycles, 1u + 1 + 3);
  EXPECT_EQ(cost("mul_entry", {0x1234, 5}).cycles, 1u + 2 + 3);
  EXPECT_EQ(cost("mul_entry", {0x123456, 5}).cycles, 1u + 3 + 3);
  EXPECT_EQ(cost("mul_entry", {0x12345678, 5}).cycles, 1u + 4 + 3);
  // mov (1) sets the multiplier inside the block.
  EXPECT_EQ(cost("mul_exit", {0x7F, 5}).cycles, 1u + 1 + 1 + 3);
  EXPECT_EQ(cost("mul_exit", {0x12345678, 5}).cycles, 1u + 1 + 4 + 3);
}

TEST_F(Probe, FlashWaitStatesFollowTheAccelerator) {
  emu_->call("leaf");  // start-up, which runs before the first call, is not measured
  // Out of reset the accelerator is off with 7-clock fetches: each of the 22 instructions
  // executed waits 6 clocks.
  EXPECT_EQ(cost("loop10").cycles, 42u + 22 * 6);
  // Fully on with 3-clock fetches: only the first fetch of the loop's line misses ...
  emu_->call("mam_set", {kMamFull, 3});
  EXPECT_EQ(cost("loop10").cycles, 42u + 2);
  // ... and on the next call the line is still in the branch-trail buffer,
  EXPECT_EQ(cost("loop10").cycles, 42u);
  // until a branch elsewhere takes its place.
  emu_->call("leaf");
  EXPECT_EQ(cost("loop10").cycles, 42u + 2);
}

TEST_F(Probe, TableReadsFromFlashUseTheDataBuffer) {
  emu_->call("mam_set", {kMamFull, 3});
  cost("load_word", {0x3000});  // the routine's own line is fetched once
  // ldr (3), bx (3); a data read outside the buffered line waits 2 more.
  EXPECT_EQ(cost("load_word", {0x3000}).cycles, 3u + 3);
  EXPECT_EQ(cost("load_word", {0x300C}).cycles, 3u + 3);
  EXPECT_EQ(cost("load_word", {0x3010}).cycles, 3u + 2 + 3);
  EXPECT_EQ(cost("load_word", {0x3000}).cycles, 3u + 2 + 3);
  EXPECT_EQ(cost("load_word", {0x40000000}).cycles, 3u + 3);  // RAM has no wait states
  // Tables in a page that also holds code go through the same buffer.
  EXPECT_EQ(cost("load_word", {0x100}).cycles, 3u + 2 + 3);
  EXPECT_EQ(cost("load_word", {0x10C}).cycles, 3u + 3);
  EXPECT_EQ(cost("load_word", {0x110}).cycles, 3u + 2 + 3);
  EXPECT_EQ(findings(), "");
  // Flash without code is as read-only as the rest.
  emu_->call("store_word", {0x3000, 5});
  EXPECT_NE(findings().find("write to flash at 0x00003000"), std::string::npos) << findings();
  EXPECT_NE(findings().find("0x000006c0 (store_word+0x0)"), std::string::npos) << findings();
}

TEST_F(Probe, SpiTransferTakesItsPeripheralClocks) {
  fast_flash();
  emu_->call("spi_setup");
  // Words as they go out on the wire (bit 8 clear for a command): memory write, then pixels.
  cost("poll_tst", {0x02C});
  // Out of reset PCLK = CCLK / 4, so a 9-bit word at PCLK / 8 takes 72 * 4 processor clocks;
  // the poll leaves within one pass (ldrb 3 + APB, tst 1, beq 3) of the transfer's end.
  const Cost tst = cost("poll_tst", {0x150});
  EXPECT_GE(tst.cycles, 72u * 4);
  EXPECT_LE(tst.cycles, 72u * 4 + 40);
  // The pure poll loop is run inside one callback; the ANDS form costs the same, instruction
  // by instruction, and is emulated pass by pass.
  const Cost ands = cost("poll_ands", {0x150});
  EXPECT_EQ(tst, ands);
  EXPECT_EQ(board_.lcd().words().size(), 3u);
  EXPECT_EQ(findings(), "");
}

TEST_F(Probe, CollidingWriteKeepsThePollExact) {
  fast_flash();
  emu_->call("spi_setup");
  cost("poll_tst", {0x02C});
  cost("collide_ands", {0x150});  // both measured runs follow a collision
  const Cost tst = cost("collide_tst", {0x150});
  EXPECT_EQ(cost("collide_ands", {0x150}), tst);
  EXPECT_GE(tst.cycles, 72u * 4);
  EXPECT_FALSE(board_.findings().empty());  // the board saw the lost write
}

TEST_F(Probe, ConversionTakesItsPeripheralClocks) {
  fast_flash();
  emu_->call("adc_setup");
  // 11 A/D clocks at PCLK / 256, and PCLK = CCLK / 4 out of reset.
  constexpr std::uint64_t kConversion = 11 * 256 * 4;
  const Cost cmp = cost("adc_cmp");
  EXPECT_GE(cmp.cycles, kConversion);
  EXPECT_LE(cmp.cycles, kConversion + 60);
  // Poll loops that are run inside the callback, and one emulated pass by pass, agree to the
  // clock and the instruction.
  EXPECT_EQ(cost("adc_cmn"), cmp);
  EXPECT_EQ(cost("adc_tst"), cmp);
  EXPECT_EQ(board_.conversions(), 3u);
  EXPECT_EQ(findings(), "");
}

TEST_F(Probe, HaltLoopEndsTheMainRun) {
  emu_->run_main();
  // b reset; msr; ldr sp; b main; b main (the halt loop, once).
  EXPECT_EQ(emu_->counters().instructions, 5u);
  EXPECT_EQ(findings(), "");
}

struct FaultCase {
  const char* symbol;
  std::vector<std::string> expected;  // parts of the one finding
};

TEST_F(Probe, FaultsAreReportedWithAddressAndSymbol) {
  const FaultCase cases[] = {
      {"undefined_insn", {"undefined instruction", "0x00000244 (undefined_insn+0x4)"}},
      {"swi_call", {"software interrupt", "0x00000284 (swi_call+0x4)"}},
      {"write_flash", {"write to flash at 0x00000100", "0x000002c4 (write_flash+0x4)"}},
      {"read_unmapped", {"0x80000000", "0x00000304 (read_unmapped+0x4)"}},
      {"fetch_unmapped", {"fetch from 0x80000000", "fetch_unmapped"}},
      {"jump_vector", {"exception vector 0x00000008", "0x00000640 (jump_vector+0x0)"}},
      {"overflow", {"stack overflow", "sp 0x3ffffffc", "0x40000800", "(overflow+0x0)"}},
      {"deep_store",
       {"stack overflow: write to 0x40000004", "limit", "0x40000800",
        "0x00000844 (deep_store+0x4)"}},
  };
  for (const FaultCase& c : cases) {
    const std::size_t before = board_.findings().size();
    emu_->call(c.symbol);
    ASSERT_EQ(board_.findings().size(), before + 1) << c.symbol << "\n" << findings();
    const std::string& message = board_.findings().back().message;
    for (const std::string& part : c.expected) {
      EXPECT_NE(message.find(part), std::string::npos) << c.symbol << ": " << message;
    }
    // The emulator stays usable after a fault.
    fast_flash();
    EXPECT_EQ(cost("loop10").cycles, 42u) << "after " << c.symbol;
  }
}

TEST_F(Probe, BoardChecksNameTheCode) {
  emu_->call("bad_register");
  ASSERT_EQ(board_.findings().size(), 1u) << findings();
  const std::string& located = board_.findings().back().message;
  EXPECT_NE(located.find("0x000003c4 (bad_register+0x4)"), std::string::npos) << located;
  EXPECT_EQ(board_.findings().back().address, 0xE0020010u);
}

class Watchdog : public Probe {
 protected:
  void SetUp() override {
    options_.watchdog_instructions = 10'000;
    Probe::SetUp();
  }
};

TEST_F(Watchdog, EndsARunWithoutFrames) {
  const Cost c = cost("hang");
  EXPECT_GE(c.instructions, 10'000u);
  EXPECT_LT(c.instructions, 11'000u);
  ASSERT_EQ(board_.findings().size(), 1u) << findings();
  EXPECT_NE(findings().find("watchdog"), std::string::npos) << findings();
  EXPECT_NE(findings().find("(hang+0x"), std::string::npos) << findings();
}

// GDB's side of its remote protocol over TCP, as gdb-multiarch speaks it to the emulator's stub.
class RemoteClient {
 public:
  explicit RemoteClient(int port) {
    // Until the stub listens: 5 s at most.
    for (int tries = 0; tries < 500 && fd_ < 0; ++tries) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<std::uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        fd_ = fd;
      } else {
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    const timeval limit{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~RemoteClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  RemoteClient(const RemoteClient&) = delete;
  RemoteClient& operator=(const RemoteClient&) = delete;

  void send(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum += static_cast<unsigned char>(c);
    char tail[4];
    std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFF);
    const std::string framed = "$" + body + tail;
    ::send(fd_, framed.data(), framed.size(), MSG_NOSIGNAL);
  }
  void raw(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // The next packet's body, acknowledged; "" once the stub closes the connection.
  std::string next() {
    std::string body;
    bool in_packet = false;
    char c = 0;
    while (::recv(fd_, &c, 1, 0) == 1) {
      if (!in_packet) {
        in_packet = c == '$';  // acknowledgements in between
      } else if (c != '#') {
        body += c;
      } else {
        char sum[2];
        if (::recv(fd_, sum, 2, MSG_WAITALL) != 2) break;
        ::send(fd_, "+", 1, MSG_NOSIGNAL);
        return body;
      }
    }
    return "";
  }
  // The next packet that is no console output.
  std::string next_stop() {
    std::string r = next();
    for (int i = 0; i < 10 && r.starts_with('O') && r != "OK"; ++i) r = next();
    return r;
  }

 private:
  int fd_ = -1;
};

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
  ::close(fd);
  return ntohs(a.sin_port);
}

// The probe under a debugger that sends `script_` (raw bytes for a Ctrl-C), keeping the
// stub's answers; it waits for none after a continue followed by a Ctrl-C, nor after 'k'.
class UnderGdb : public Probe {
 protected:
  void debug(std::uint64_t watchdog, std::vector<std::string> script) {
    options_.watchdog_instructions = watchdog;
    options_.gdb_port = free_port();
    debugger_ = std::thread([this, port = options_.gdb_port, script] {
      RemoteClient gdb(port);
      for (std::size_t i = 0; i < script.size(); ++i) {
        const std::string& s = script[i];
        if (s == "\x03") {
          gdb.raw(s);
        } else {
          gdb.send(s);
          if (s == "k" || (i + 1 < script.size() && script[i + 1] == "\x03")) continue;
        }
        replies_.push_back(gdb.next_stop());
      }
    });
    Probe::SetUp();
  }
  void TearDown() override {
    if (debugger_.joinable()) debugger_.join();
  }

  std::thread debugger_;
  std::vector<std::string> replies_;
};

class WatchdogUnderGdb : public UnderGdb {
 protected:
  void SetUp() override { debug(10'000, {"?", "p19", "c", "c"}); }
};

// In GDB's own signal numbers: SIGTRAP 5, SIGALRM 14.
TEST_F(WatchdogUnderGdb, StopsWithSigalrmThenEndsTheProgramWithIt) {
  emu_->call("hang");
  debugger_.join();
  // Before the first instruction: SIGTRAP, cpsr (GDB's register 25) as out of reset,
  // Supervisor mode with IRQ and FIQ masked; then the watchdog's stop and the program's end.
  EXPECT_EQ(replies_, (std::vector<std::string>{"T05", "d3000000", "T0e", "X0e"}));
  EXPECT_NE(findings().find("watchdog"), std::string::npos) << findings();
}

class InterruptUnderGdb : public UnderGdb {
 protected:
  // A watchdog far off: the hang would run for seconds without the kill.
  static constexpr std::uint64_t kWatchdog = 500'000'000;
  void SetUp() override { debug(kWatchdog, {"?", "c", "\x03", "k"}); }
};

// Ctrl-C stops a hung program with SIGINT (2); kill ends the run there, with no finding.
TEST_F(InterruptUnderGdb, CtrlCStopsAHangAndKillEndsItAtOnce) {
  emu_->call("hang");
  debugger_.join();
  EXPECT_EQ(replies_, (std::vector<std::string>{"T05", "T02"}));
  EXPECT_LT(emu_->counters().instructions, kWatchdog / 10);
  EXPECT_EQ(findings(), "");
}

class WatchUnderGdb : public UnderGdb {
 protected:
  // store_word writes r1 to [r0]; GDB puts 0xdeadbeef there first and watches the word.
  void SetUp() override {
    debug(Options{}.watchdog_instructions,
          {"?", "M40002000,4:efbeadde", "Z2,40002000,4", "c", "m40002000,4", "pf", "k"});
  }
};

// A watched store stops at the storing instruction (store_word, at 0x6c0) with the store not
// yet made: GDB steps it itself to see the new value.
TEST_F(WatchUnderGdb, StopsAtTheStoreBeforeItLands) {
  emu_->call("store_word", {0x40002000, 0x12345678});
  debugger_.join();
  EXPECT_EQ(replies_, (std::vector<std::string>{"T05", "OK", "OK", "T05watch:40002000;", "efbeadde",
                                                "c0060000"}));
}

class RamFill : public Probe {
 protected:
  void SetUp() override {
    options_.ram_fill = 0xA5;
    Probe::SetUp();
  }
};

TEST_F(RamFill, FillsRamOutsideDataAndBss) {
  fast_flash();
  emu_->call("spi_setup");
  emu_->call("send_ram_word", {0x40000F00});  // above .bss: the pattern, 9 bits of it
  emu_->call("send_ram_word", {0x400007FC});  // the last word of .bss: zero
  // As sendlcd takes them: bit 8 set for a command.
  EXPECT_EQ(board_.lcd().words(), (std::vector<std::uint16_t>{0x0A5, 0x100}));
}

TEST(EmulatorImage, RefusesWhatItCannotRun) {
  sim::Board board(sim::make_audio("silence"));
  EXPECT_THROW(Emulator("/nonexistent/lpcdemo.elf", board), BadImage);
  EXPECT_THROW(Emulator(LPCDEMO_SOURCE_DIR "/tests/emu/probe.S", board), BadImage);
  if (!std::filesystem::exists(kProbe)) return;
  Emulator emu(kProbe, board);
  EXPECT_THROW(emu.call("no_such_function"), std::invalid_argument);
}

}  // namespace
}  // namespace emu
