// The emulator on a small hand-written image (probe.S): cycle estimates of known code, the
// board's clock, and every kind of fault it reports.
#include "emu/emulator.h"

#include "emu/block.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hw/lpc2138.h"
#include "sim/audio.h"

namespace emu {
namespace {

const std::string kProbe = LPCDEMO_BINARY_DIR "/emu/probe.elf";

constexpr std::int32_t kMamFull = 2;
constexpr std::int32_t kOneClockFlash = 1;
// FIO0MASK, where the probe's loads leave what they loaded, and FIO0PIN beside it.
constexpr std::uint32_t kFioMask = 0x3FFFC010, kFioPin = 0x3FFFC014;

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
  // mov (1), mul (1 + m by r3 as mov left it; the multiply then overwrites it), bx (3).
  EXPECT_EQ(cost("mul_self", {0x7F, 5}).cycles, 1u + 1 + 1 + 3);
  EXPECT_EQ(cost("mul_self", {0x1234, 5}).cycles, 1u + 1 + 2 + 3);
}

TEST_F(Probe, MultipliesTerminateEarlyOnSmallMultipliers) {
  fast_flash();
  // mul (1 + m), bx (3); m by the significant bytes of r0.
  EXPECT_EQ(cost("mul_entry", {0x7F, 5}).cycles, 1u + 1 + 3);
  EXPECT_EQ(cost("mul_entry", {-2, 5}).cycles, 1u + 1 + 3);
  EXPECT_EQ(cost("mul_entry", {0x1234, 5}).cycles, 1u + 2 + 3);
  EXPECT_EQ(cost("mul_entry", {0x123456, 5}).cycles, 1u + 3 + 3);
  EXPECT_EQ(cost("mul_entry", {0x12345678, 5}).cycles, 1u + 4 + 3);
  // cmp (1), mlane (skipped 1S; executed 1S + (m + 1) I), bx (3).
  EXPECT_EQ(cost("mla_if", {0, 5}).cycles, 1u + 1 + 3);
  EXPECT_EQ(cost("mla_if", {0x7F, 5}).cycles, 1u + 2 + 1 + 3);
  EXPECT_EQ(cost("mla_if", {0x12345678, 5}).cycles, 1u + 2 + 4 + 3);
  // mov (1) sets the multiplier inside the block.
  EXPECT_EQ(cost("mul_exit", {0x7F, 5}).cycles, 1u + 1 + 1 + 3);
  EXPECT_EQ(cost("mul_exit", {0x12345678, 5}).cycles, 1u + 1 + 4 + 3);
}

// A branch to the next instruction goes on there whether taken or not; what it costs is its
// condition's: cmp (1), beq (taken 2S + 1N; not taken 1S), bx (2S + 1N).
TEST_F(Probe, ABranchToTheNextInstructionCostsAsItsConditionDecides) {
  fast_flash();
  EXPECT_EQ(cost("branch_next", {0, 5}).cycles, 1u + 3 + 3);
  EXPECT_EQ(cost("branch_next", {1, 5}).cycles, 1u + 1 + 3);
}

// Each condition under each setting of N, Z, C and V (store_<cond>: msr, str<cond>, bx):
// whether the store happened is the core's own decision, and the clocks must follow it: the
// store executed 2N, skipped 1S (ARM7TDMI-S timing table), after msr (1S) and before bx
// (2S+1N). Bit i of `passes` is whether the condition holds with NZCV = i (N = 8, Z = 4,
// C = 2, V = 1), worked out from the conditions' definitions.
TEST_F(Probe, EveryConditionCostsWhatItsOutcomeCosts) {
  fast_flash();
  emu_->call("spi_setup");  // the fast GPIO on: FIO0MASK is the store's target, read back here
  constexpr std::uint32_t kFio0Mask = 0x3FFFC010;
  struct Condition {
    const char* routine;
    std::uint16_t passes;
  };
  const Condition conditions[] = {
      {"store_eq", 0xF0F0}, {"store_ne", 0x0F0F}, {"store_cs", 0xCCCC}, {"store_cc", 0x3333},
      {"store_mi", 0xFF00}, {"store_pl", 0x00FF}, {"store_vs", 0xAAAA}, {"store_vc", 0x5555},
      {"store_hi", 0x0C0C}, {"store_ls", 0xF3F3}, {"store_ge", 0xAA55}, {"store_lt", 0x55AA},
      {"store_gt", 0x0A05}, {"store_le", 0xF5FA}, {"store_al", 0xFFFF},
  };
  std::int32_t stamp = 0;  // a value no earlier store left there
  for (const Condition& c : conditions) {
    for (std::uint32_t nzcv = 0; nzcv < 16; ++nzcv) {
      const bool passes = (c.passes >> nzcv) & 1u;
      ++stamp;
      const Cost run = cost(c.routine, {static_cast<std::int32_t>(nzcv << 28), stamp,
                                        static_cast<std::int32_t>(kFio0Mask)});
      const bool stored = board_.read(kFio0Mask, 32) == static_cast<std::uint32_t>(stamp);
      EXPECT_EQ(stored, passes) << c.routine << ", NZCV " << nzcv;
      EXPECT_EQ(run, (Cost{1u + (passes ? 2 : 1) + 3, 3})) << c.routine << ", NZCV " << nzcv;
    }
  }
  EXPECT_EQ(findings(), "");
}

// A multiply after a load that wrote back its base reads the new base: ldr (3), mul (1 + m),
// bx (3), m by the significant bytes of r0 after the load.
TEST_F(Probe, WriteBackChangesTheBaseForWhatFollows) {
  fast_flash();
  EXPECT_EQ(cost("post_index", {0xFC}).cycles, 3u + 1 + 2 + 3);  // r0 = 0x1fc after it
  EXPECT_EQ(cost("pre_index", {0xFC}).cycles, 3u + 1 + 2 + 3);   // r0 = 0x1ec
  EXPECT_EQ(findings(), "");
}

// straight: 17 instructions, 19 core clocks, over four flash lines, cut into blocks by branches
// never taken. Which fetches wait (MAMTIM = 3, so 2 clocks each) in each accelerator mode
// (UM10120, MAM chapter): off, every fetch; partly on, the branch into the code, as each
// branch goes to flash; fully on, the branch into it the first time, and nothing once its line
// is in the branch-trail buffer; the lines after it come from the prefetch in both.
TEST_F(Probe, StraightLineCodeWaitsOnlyWhereTheAcceleratorSaysSo) {
  emu_->call("leaf");
  struct Mode {
    const char* name;
    std::int32_t mamcr;
    std::uint64_t first, again;
  };
  // Off, every fetch waits 2: the 17 instructions' and the two the call's branch makes of the
  // first words.
  const Mode modes[] = {{"off", 0, 19 + 19 * 2, 19 + 19 * 2},
                        {"partial", 1, 19 + 2, 19 + 2},
                        {"full", kMamFull, 19 + 2, 19}};
  for (const Mode& m : modes) {
    emu_->call("mam_set", {m.mamcr, 3});  // flushes the buffers
    EXPECT_EQ(cost("straight"), (Cost{m.first, 17})) << m.name;
    EXPECT_EQ(cost("straight"), (Cost{m.again, 17})) << m.name << ", called again";
  }
}

TEST_F(Probe, FlashWaitStatesFollowTheAccelerator) {
  emu_->call("leaf");  // start-up, which runs before the first call, is not measured
  // Out of reset the accelerator is off with 7-clock fetches: each fetch waits 6 clocks, one
  // for each of the 22 instructions executed and two more after each of the 10 changes of flow
  // into flash (the call, 9 loop-backs): the target and the word after it.
  EXPECT_EQ(cost("loop10").cycles, 42u + (22 + 10 * 2) * 6);
  // Fully on with 3-clock fetches: only the first fetch of the loop's line misses ...
  emu_->call("mam_set", {kMamFull, 3});
  EXPECT_EQ(cost("loop10").cycles, 42u + 2);
  // ... and on the next call the line is still in the branch-trail buffer,
  EXPECT_EQ(cost("loop10").cycles, 42u);
  // until a branch elsewhere takes its place.
  emu_->call("leaf");
  EXPECT_EQ(cost("loop10").cycles, 42u + 2);
}

// Every access to an APB register stalls the core by the timing's APB wait, whatever it is set
// to; the fast GPIO block on the local bus and RAM add nothing: ldr (1S + 1N + 1I) or str
// (2N), then bx (2S + 1N), through one-clock flash.
TEST(ApbWait, EveryPeripheralAccessWaitsTheTimingsClocks) {
  if (!std::filesystem::exists(kProbe)) GTEST_SKIP() << "no probe image (arm-none-eabi-as)";
  for (const unsigned wait : {0u, 1u, 5u}) {
    SCOPED_TRACE(wait);
    sim::Board board(sim::make_audio("silence"));
    Options options;
    options.timing.apb_wait = wait;
    Emulator emu(kProbe, board, options);
    emu.call("mam_set", {kMamFull, kOneClockFlash});
    auto cycles = [&](std::string_view symbol, std::initializer_list<std::int32_t> args) {
      const std::uint64_t before = emu.counters().cycles;
      emu.call(symbol, args);
      return emu.counters().cycles - before;
    };
    constexpr auto kScs = static_cast<std::int32_t>(lpc2138::SCS.addr);
    constexpr auto kFio0Pin = static_cast<std::int32_t>(lpc2138::FIO0PIN.addr);
    EXPECT_EQ(cycles("store_word", {kScs, 1}), 2 + wait + 3);  // GPIO0M: port 0 on fast GPIO
    EXPECT_EQ(cycles("load_word", {kScs}), 3 + wait + 3);
    EXPECT_EQ(cycles("load_word", {kFio0Pin}), 3u + 3);
    EXPECT_EQ(cycles("store_word", {0x40000000, 1}), 2u + 3);
    for (const sim::Finding& f : board.findings()) ADD_FAILURE() << f.message;
  }
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
  // the poll leaves within one pass (ldrb 3 + APB wait, tst 1, beq 3) of the transfer's end.
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

// An output that fails as the board hands it something (a full disk) throws inside Unicorn's
// callbacks, which cannot unwind: the call ends with the sink's exception, not the process,
// and the next call runs as before. The pins change inside a store to FIO0SET, the word
// reaches the LCD inside a read of S0SPSR.
TEST_F(Probe, AnOutputsFailureEndsTheCallWithItsException) {
  struct Failing final : sim::LcdSink, sim::WireSink {
    void fail(bool& armed, const char* what) {
      if (!std::exchange(armed, false)) return;
      throw std::runtime_error(what);
    }
    void word(std::uint16_t) override { fail(on_word, "cannot write the words"); }
    void frame(const sim::LcdFrame&, std::uint64_t, double) override {}
    void lines(double, std::uint32_t) override { fail(on_lines, "cannot write the pins"); }
    void transfer(double, std::uint16_t, unsigned, double) override {}
    void conversion(double, double) override {}
    bool on_word = true, on_lines = true;
  } failing;
  board_.add_sink(failing);
  board_.add_wire_sink(failing);
  fast_flash();
  try {
    emu_->call("spi_setup");
    ADD_FAILURE() << "the store's failure was lost";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "cannot write the pins");
  }
  emu_->call("spi_setup");
  try {
    emu_->call("poll_ands", {0x150});
    ADD_FAILURE() << "the read's failure was lost";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "cannot write the words");
  }
  EXPECT_EQ(cost("loop10"), (Cost{1 + 10 + 9 * 3 + 1 + 3, 1 + 2 * 10 + 1}));
  EXPECT_EQ(findings(), "");
}

// Both measured runs follow a collision and start at the same phase of PCLK (CCLK / 4), which
// decides when the transfer ends.
TEST_F(Probe, CollidingWriteKeepsThePollExact) {
  fast_flash();
  emu_->call("spi_setup");
  cost("poll_tst", {0x02C});
  const auto align = [&] {  // mul_entry takes 4 + m clocks, m = 4, 3, 2, 1
    const std::int32_t multiplier[] = {0x1000000, 0x10000, 0x100, 0x1};
    emu_->call("mul_entry", {multiplier[board_.cclk_cycles() % 4], 1});
    ASSERT_EQ(board_.cclk_cycles() % 4, 0u);
  };
  cost("collide_ands", {0x150});
  align();
  const Cost tst = cost("collide_tst", {0x150});
  align();
  EXPECT_EQ(cost("collide_ands", {0x150}), tst);
  EXPECT_GE(tst.cycles, 72u * 4);
  EXPECT_FALSE(board_.findings().empty());  // the board saw the lost write
}

// The pure poll loop skips the passes that certainly read "busy" and runs the one that reads
// at or after the transfer's end: whatever the delay before the poll, it must end on the same
// pass as the loop emulated pass by pass. The delays (counted loop of 4 clocks a pass, a
// multiply of 1-4) cover 20 clocks in a row, more than a pass (ldrb 3 + the APB wait, tst 1, beq
// 3), so one of them puts the transfer's end exactly on a pass's read. Both forms start at the same
// phase of PCLK (CCLK / 4), which decides when the transfer ends.
TEST_F(Probe, PollEndsOnThePassThatReadsTheEndOfTheTransfer) {
  fast_flash();
  emu_->call("spi_setup");
  cost("poll_tst", {0x02C});
  // mul_entry takes 4 + m clocks: enough of them to bring the clock to a multiple of 4.
  const auto align = [&] {
    const std::int32_t multiplier[] = {0x1000000, 0x10000, 0x100, 0x1};  // m = 4, 3, 2, 1
    emu_->call("mul_entry", {multiplier[board_.cclk_cycles() % 4], 1});
    ASSERT_EQ(board_.cclk_cycles() % 4, 0u);
  };
  const std::int32_t multipliers[] = {0x1, 0x100, 0x10000, 0x1000000};
  for (std::int32_t loops = 1; loops <= 5; ++loops) {
    for (std::int32_t multiplier : multipliers) {
      align();
      const Cost tst = cost("poll_late_tst", {0x150, loops, multiplier});
      align();
      const Cost ands = cost("poll_late_ands", {0x150, loops, multiplier});
      EXPECT_EQ(tst, ands) << loops << " loops, multiplier " << std::hex << multiplier;
      EXPECT_GE(tst.cycles, 72u * 4);
    }
  }
  EXPECT_EQ(board_.lcd().words().size(), 41u);
  EXPECT_EQ(findings(), "");
}

// A poll loop run inside one callback goes round again exactly when the core's branch back
// would be taken after its test of the value read, flags as the ARM sets them: CMP sets all
// four from v - imm (C: no borrow, V: signed overflow), TST sets N and Z from v & imm, and C
// from an immediate's bit 31 when it is rotated, leaving the rest as they were.
TEST(PollLoop, GoesRoundWhereTheCoreWould) {
  constexpr std::uint32_t kLoad = 0xE5923004;  // ldr r3, [r2, #4]
  constexpr std::uint32_t kCmp5 = 0xE3530005, kTst80 = 0xE3130080, kTstTop = 0xE3130102;
  constexpr std::uint32_t C = 1u << 29, V = 1u << 28;
  enum : std::uint32_t { EQ, NE, CS, CC, MI, PL, VS, VC, HI, LS, GE, LT, GT, LE };
  struct Case {
    std::uint32_t test, cond, v, cpsr;
    bool again;
  };
  const Case cases[] = {
      {kCmp5, CC, 4, 0, true},  // 4 < 5 unsigned: a borrow
      {kCmp5, CC, 5, 0, false},
      {kCmp5, CC, 0xFFFFFFFF, 0, false},
      {kCmp5, CS, 5, 0, true},
      {kCmp5, CS, 4, C, false},  // CMP sets C whatever it was
      {kCmp5, LS, 5, 0, true},
      {kCmp5, LS, 6, 0, false},
      {kCmp5, HI, 6, 0, true},
      {kCmp5, HI, 5, 0, false},
      {kCmp5, EQ, 5, 0, true},
      {kCmp5, NE, 5, 0, false},
      {kCmp5, LT, 4, 0, true},
      {kCmp5, LT, 0x80000000, 0, true},  // 0x80000000 - 5 overflows: N clear, V set
      {kCmp5, GE, 0x80000000, 0, false},
      {kCmp5, GE, 5, 0, true},
      {kCmp5, GT, 5, 0, false},
      {kCmp5, GT, 6, 0, true},
      {kCmp5, LE, 5, 0, true},
      {kCmp5, MI, 4, 0, true},
      {kCmp5, MI, 0x80000000, 0, false},
      {kCmp5, PL, 0x80000000, 0, true},
      {kCmp5, VS, 0x80000000, 0, true},
      {kCmp5, VS, 4, V, false},  // CMP sets V whatever it was
      {kTst80, EQ, 0x7F, 0, true},
      {kTst80, EQ, 0x80, 0, false},
      {kTst80, NE, 0x180, 0, true},
      {kTst80, CS, 0, C, true},  // TST of an unrotated immediate leaves C
      {kTst80, CS, 0, 0, false},
      {kTst80, VS, 0x80, V, true},  // and V
      {kTstTop, CC, 0, 0, false},   // #0x80000000 is rotated: C = 1
      {kTstTop, CS, 0, 0, true},
      {kTstTop, MI, 0x80000000, 0, true},
      {kTstTop, EQ, 0x7FFFFFFF, 0, true},
  };
  for (const Case& c : cases) {
    const std::uint32_t branch_back = c.cond << 28 | 0x0AFFFFFC;  // b<cond> to the load
    const Block b = decode_block(0x100, {kLoad, c.test, branch_back});
    ASSERT_TRUE(b.spin) << std::hex << c.test << " " << branch_back;
    EXPECT_EQ(spin_continues(b, c.v, c.cpsr), c.again)
        << std::hex << "test " << c.test << ", cond " << c.cond << ", v " << c.v << ", cpsr "
        << c.cpsr;
  }
  // The shape exactly: LDR, LDRB or LDRH with a constant offset and neither write-back nor
  // post-indexing, a TST or CMP of the loaded register with an immediate, a conditional B to
  // the load.
  constexpr std::uint32_t kBack = 0x1AFFFFFC;  // bne to the load
  struct Shape {
    std::uint32_t load, test, branch;
    bool spin;
  };
  const Shape shapes[] = {
      {0xE1D230B4, kTst80, kBack, true},   // ldrh r3, [r2, #4]
      {0xE5523004, kCmp5, kBack, true},    // ldrb r3, [r2, #-4]
      {kLoad, kTst80, 0x1BFFFFFC, false},  // blne
      {kLoad, kTst80, 0xEAFFFFFC, false},  // b: no way out
      {kLoad, kTst80, 0x1AFFFFFD, false},  // bne to the test
      {0xE5B23004, kTst80, kBack, false},  // ldr r3, [r2, #4]!
      {0xE4923004, kTst80, kBack, false},  // ldr r3, [r2], #4
      {0xE1D230F4, kTst80, kBack, false},  // ldrsh r3, [r2, #4]
      {0xE7923001, kTst80, kBack, false},  // ldr r3, [r2, r1]
      {0x15923004, kTst80, kBack, false},  // ldrne r3, [r2, #4]
      {0xE5933004, kTst80, kBack, false},  // ldr r3, [r3, #4]
      {kLoad, 0xE3110080, kBack, false},   // tst r1, #0x80
      {kLoad, 0xE3330080, kBack, false},   // teq r3, #0x80
      {kLoad, 0xE1130001, kBack, false},   // tst r3, r1
  };
  for (const Shape& s : shapes) {
    EXPECT_EQ(decode_block(0x100, {s.load, s.test, s.branch}).spin, s.spin)
        << std::hex << s.load << " " << s.test << " " << s.branch;
  }
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
      {"jump_undef_vector", {"exception vector 0x00000004", "0x00000660 (jump_undef_vector+0x0)"}},
      {"overflow", {"stack overflow", "sp 0x3ffffffc", "0x40000800", "(overflow+0x0)"}},
      {"post_store_sp", {"stack overflow: sp 0x40000010", "0x00000920 (post_store_sp+0x0)"}},
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

// Transfers whose address is not a multiple of their width, as the ARM7TDMI-S makes them: LDR
// reads the aligned word and rotates it right by 8 per byte of misalignment, LDRH at an odd
// address the aligned halfword rotated right by 8 within the word, LDRSH there the addressed
// byte sign-extended; each reads once, so it costs what the aligned load costs, accelerator
// waits included (off, MAMTIM = 3: every data read waits 2). Words 0x8899AABB and 0x11223344
// (bytes BB AA 99 88 44 33 22 11) lie at 0x40000400, put there by aligned stores, and in flash
// at flash_words (0xd00).
TEST_F(Probe, UnalignedLoadsRotateTheAlignedWord) {
  emu_->call("spi_setup");
  emu_->call("mam_set", {0, 3});
  constexpr std::int32_t kRam = 0x40000400, kFlash = 0xD00;
  emu_->call("unaligned_str", {kRam, static_cast<std::int32_t>(0x8899AABB)});
  emu_->call("unaligned_str", {kRam + 4, 0x11223344});
  struct Load {
    const char* routine;
    std::int32_t offset, aligned;
    std::uint32_t value;
  };
  const Load loads[] = {
      {"unaligned_ldr", 0, 0, 0x8899AABB},   {"unaligned_ldr", 1, 0, 0xBB8899AA},
      {"unaligned_ldr", 2, 0, 0xAABB8899},   {"unaligned_ldr", 3, 0, 0x99AABB88},
      {"unaligned_ldr", 5, 4, 0x44112233},   {"unaligned_ldrh", 1, 0, 0xBB0000AA},
      {"unaligned_ldrh", 3, 2, 0x99000088},  {"unaligned_ldrsh", 1, 0, 0xFFFFFFAA},
      {"unaligned_ldrsh", 3, 2, 0xFFFFFF88}, {"unaligned_ldrsh", 5, 4, 0x00000033},
  };
  for (const std::int32_t base : {kRam, kFlash}) {
    for (const Load& l : loads) {
      const Cost c = cost(l.routine, {base + l.offset});
      EXPECT_EQ(board_.read(kFioMask, 32), l.value)
          << l.routine << " at " << std::hex << base + l.offset;
      EXPECT_EQ(c, cost(l.routine, {base + l.aligned}))
          << l.routine << " at " << std::hex << base + l.offset;
    }
  }
  // A page of flash without code goes through its own callback: read once there too.
  EXPECT_EQ(cost("unaligned_ldr", {0x3001}), cost("unaligned_ldr", {0x3000}));
  EXPECT_EQ(findings(), "");
}

// STR and STRH write the aligned word or halfword, the register unrotated; LDM and STM ignore
// the base's low bits and write back base + 8 from the base as it was. The bytes around are
// left as they were, and each costs what it costs aligned.
TEST_F(Probe, UnalignedStoresAndBlockTransfersUseTheAlignedAddress) {
  fast_flash();
  emu_->call("spi_setup");
  constexpr std::int32_t kRam = 0x40000400, kResults = 0x40000600;
  const auto poke = [&](std::int32_t addr, std::uint32_t v) {
    emu_->call("unaligned_str", {addr, static_cast<std::int32_t>(v)});
  };
  const auto peek = [&](std::int32_t addr) {
    emu_->call("unaligned_ldr", {addr});
    return board_.read(kFioMask, 32);
  };
  poke(kRam, 0x8899AABB);
  poke(kRam + 4, 0x11223344);
  const Cost aligned_str = cost("unaligned_str", {kRam + 8, 0});
  EXPECT_EQ(cost("unaligned_str", {kRam + 2, static_cast<std::int32_t>(0xCAFEF00D)}), aligned_str);
  EXPECT_EQ(peek(kRam), 0xCAFEF00Du);
  EXPECT_EQ(peek(kRam + 4), 0x11223344u);
  emu_->call("unaligned_strh", {kRam + 3, 0x1BEEF});
  EXPECT_EQ(peek(kRam), 0xBEEFF00Du);
  EXPECT_EQ(peek(kRam + 4), 0x11223344u);

  const Cost aligned_ldm = cost("unaligned_ldm", {kRam});
  EXPECT_EQ(cost("unaligned_ldm", {kRam + 1}), aligned_ldm);
  EXPECT_EQ(peek(kResults), static_cast<std::uint32_t>(kRam + 9));  // r0 written back
  EXPECT_EQ(peek(kResults + 4), 0xBEEFF00Du);
  EXPECT_EQ(peek(kResults + 8), 0x11223344u);

  // STMDB from kRam + 0x10A: the words at kRam + 0x100 and + 0x104, r0 written back to + 0x102.
  poke(kRam + 0x108, 0x5A5A5A5A);
  const Cost aligned_stm = cost("unaligned_stm", {kRam + 0x208, 1, 2});
  EXPECT_EQ(
      cost("unaligned_stm", {kRam + 0x10A, 0x01234567, static_cast<std::int32_t>(0x89ABCDEF)}),
      aligned_stm);
  EXPECT_EQ(peek(kRam + 0x100), 0x01234567u);
  EXPECT_EQ(peek(kRam + 0x104), 0x89ABCDEFu);
  EXPECT_EQ(peek(kRam + 0x108), 0x5A5A5A5Au);
  EXPECT_EQ(peek(kResults), static_cast<std::uint32_t>(kRam + 0x102));

  // The base among the registers stored (ARM7TDMI): as it was when it is the first of them, as
  // written back otherwise. stmia r0!, {r0, r3} from kRam + 0x301 stores kRam + 0x301 at
  // kRam + 0x300; stmia r1!, {r0, r1} from kRam + 0x312 stores r0 (kRam + 0x309 by then) and
  // r1 written back, kRam + 0x31A.
  emu_->call("unaligned_stm_base", {kRam + 0x301, kRam + 0x312, 0, 7});
  EXPECT_EQ(peek(kRam + 0x300), static_cast<std::uint32_t>(kRam + 0x301));
  EXPECT_EQ(peek(kRam + 0x304), 7u);
  EXPECT_EQ(peek(kRam + 0x310), static_cast<std::uint32_t>(kRam + 0x309));
  EXPECT_EQ(peek(kRam + 0x314), static_cast<std::uint32_t>(kRam + 0x31A));

  // ldr r2, [r0], #4 from kRam + 5 (0x11223344 rotated by 8), then ldr r3, [r0, #-2]! from
  // kRam + 7 (rotated by 24): r0 written back by each, to kRam + 9 and then kRam + 7.
  emu_->call("unaligned_index", {kRam + 5});
  EXPECT_EQ(peek(kResults), static_cast<std::uint32_t>(kRam + 7));
  EXPECT_EQ(peek(kResults + 4), 0x44112233u);
  EXPECT_EQ(peek(kResults + 8), 0x22334411u);

  // Two unaligned loads in one block, each made by its own instruction; a load whose condition
  // fails makes none. r1 = 0x5555 and r3 = 0x7777 as passed.
  for (const std::int32_t first : {0, 1}) {
    emu_->call("unaligned_pair", {kRam + 5, 0x5555, first, 0x7777});
    EXPECT_EQ(peek(kResults), first ? 0x44112233u : 0x5555u) << first;
    EXPECT_EQ(peek(kResults + 4), 0x44112233u) << first;
  }

  // Across a page boundary: the aligned word below it, the page above untouched.
  constexpr std::int32_t kPageEnd = 0x40002000;
  poke(kPageEnd - 4, 0x8899AABB);
  poke(kPageEnd, 0x11223344);
  EXPECT_EQ(peek(kPageEnd - 2), 0xAABB8899u);
  poke(kPageEnd - 1, 0x01020304);
  EXPECT_EQ(peek(kPageEnd - 4), 0x01020304u);
  EXPECT_EQ(peek(kPageEnd), 0x11223344u);
  EXPECT_EQ(findings(), "");

  // Flash takes no store, at the aligned address as anywhere.
  emu_->call("unaligned_str", {0x3002, 5});
  EXPECT_NE(findings().find("write to flash at 0x00003000 (32 bits, value 0x00000005) by code at "
                            "0x00000c60 (unaligned_str+0x0)"),
            std::string::npos)
      << findings();
}

// An unaligned access to a peripheral is a finding that names its instruction, and reaches the
// board once, at the aligned address. After a word has gone out, S0SPSR holds SPIF (0x80):
// `ldr r1, [S0SPSR + 2]` reads S0SPSR alone, as a word (8 bits wide: the width is a finding
// too), rotated by 16 to 0x00800000; S0SPDR, whose access would clear SPIF, is not touched, so
// the aligned read that follows still sees 0x80. A word stored at FIO0MASK + 2 lands in FIO0MASK
// whole, FIO0PIN untouched.
TEST_F(Probe, UnalignedPeripheralAccessesReachTheBoardOnceAndAreNamed) {
  fast_flash();
  emu_->call("spi_setup");
  cost("poll_tst", {0x02C});
  emu_->call("unaligned_spsr");
  EXPECT_EQ(board_.read(kFioMask, 32), 0x00800080u);
  emu_->call("unaligned_spsr");  // named once
  const std::string read =
      "unaligned 32-bit read of 0xe0020006 by code at 0x00000cc4 "
      "(unaligned_spsr+0x4)\n";
  EXPECT_NE(findings().find(read), std::string::npos) << findings();
  EXPECT_EQ(findings().find(read), findings().rfind(read)) << findings();
  EXPECT_NE(findings().find("read of 32 bits on a 8-bit register"), std::string::npos)
      << findings();

  // LDRH from S0SPCR + 1 reads the 16-bit S0SPCR (0x093C after spi_setup) once, at its width,
  // rotated by 8.
  emu_->call("unaligned_ldrh", {static_cast<std::int32_t>(0xE0020001)});
  EXPECT_EQ(board_.read(kFioMask, 32), 0x3C000009u);
  EXPECT_NE(findings().find("unaligned 16-bit read of 0xe0020001 by code at 0x00000c20 "
                            "(unaligned_ldrh+0x0)"),
            std::string::npos)
      << findings();
  EXPECT_EQ(findings().find("16-bit register"), std::string::npos) << findings();

  // A poll of SPIF through an unaligned load tests the rotated word (bit 23): it ends within a
  // pass (ldr 3 + APB, tst 1, beq 3) of the transfer's 72 x 4 clocks, as the aligned poll does.
  const Cost poll = cost("unaligned_poll", {0x150});
  EXPECT_GE(poll.cycles, 72u * 4);
  EXPECT_LE(poll.cycles, 72u * 4 + 40);

  board_.write(kFioMask, 32, 0);  // FIO0PIN reads every pin
  const std::uint32_t pin = board_.read(kFioPin, 32);
  emu_->call("unaligned_str", {static_cast<std::int32_t>(kFioMask + 2), 0x12345678});
  EXPECT_EQ(board_.read(kFioMask, 32), 0x12345678u);
  board_.write(kFioMask, 32, 0);
  EXPECT_EQ(board_.read(kFioPin, 32), pin);
  EXPECT_NE(findings().find("unaligned 32-bit write of 0x3fffc012 by code at 0x00000c60 "
                            "(unaligned_str+0x0)"),
            std::string::npos)
      << findings();
}

// Each access in a block reaches the board as its own instruction: the finding names it.
TEST_F(Probe, EachFindingNamesTheInstructionOfItsAccess) {
  emu_->call("two_strays");
  ASSERT_EQ(board_.findings().size(), 2u) << findings();
  EXPECT_NE(board_.findings()[0].message.find("0x00000f84 (two_strays+0x4)"), std::string::npos)
      << findings();
  EXPECT_NE(board_.findings()[1].message.find("0x00000f8c (two_strays+0xc)"), std::string::npos)
      << findings();
  emu_->call("stm_strays");  // both words of one store-multiple
  ASSERT_EQ(board_.findings().size(), 4u) << findings();
  for (const std::size_t i : {2u, 3u}) {
    EXPECT_NE(board_.findings()[i].message.find("0x00000fc8 (stm_strays+0x8)"), std::string::npos)
        << findings();
  }
}

// A logic analyser on the LCD select sees the pulse as long as the core took between the two
// stores, not the zero width of a whole block charged at once.
TEST_F(Probe, ThePinsChangeAtTheClockOfTheStoreThatChangesThem) {
  struct Select : sim::WireSink {
    std::vector<std::pair<double, bool>> changes;
    void lines(double ns, std::uint32_t levels) override {
      changes.emplace_back(ns, (levels & 0x80) != 0);
    }
    void transfer(double, std::uint16_t, unsigned, double) override {}
    void conversion(double, double) override {}
  } select;
  board_.add_wire_sink(select);
  emu_->call("select_pulse");
  ASSERT_GE(select.changes.size(), 2u);
  const auto [high_ns, high] = select.changes[select.changes.size() - 2];
  const auto [low_ns, low] = select.changes.back();
  EXPECT_TRUE(high && !low);
  EXPECT_NEAR(low_ns - high_ns, 3 * 1e9 / board_.cclk_hz(), 1e-6);
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
    // Generous for a loaded machine.
    const timeval limit{60, 0};
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

// The same in a poll of a register that never lets it out, which goes round inside one read.
TEST_F(InterruptUnderGdb, CtrlCStopsAPollThatNeverEnds) {
  emu_->call("hang_poll");
  debugger_.join();
  EXPECT_EQ(replies_, (std::vector<std::string>{"T05", "T02"}));
  EXPECT_LT(emu_->counters().instructions, kWatchdog / 10);
  EXPECT_EQ(findings(), "");
}

class BreakUnderGdb : public UnderGdb {
 protected:
  // A breakpoint at hang's branch (0x404), left in while the client goes on: each pass stops.
  void SetUp() override { debug(10'000, {"?", "Z0,404,4", "c", "c", "k"}); }
};

TEST_F(BreakUnderGdb, StopsAgainOnEachPassOverABreakpointLeftIn) {
  emu_->call("hang");
  debugger_.join();
  EXPECT_EQ(replies_, (std::vector<std::string>{"T05", "OK", "T05swbreak:;", "T05swbreak:;"}));
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

class StepUnderGdb : public UnderGdb {
 protected:
  // Stops at unaligned_str (0xc60), steps its store and reads the two words it straddles.
  void SetUp() override {
    debug(Options{}.watchdog_instructions,
          {"?", "M40002000,8:0000000000000000", "Z0,c60,4", "c", "s", "m40002000,8", "k"});
  }
};

// A step over an unaligned STR (to 0x40002002) shows the aligned word written whole and the
// next one untouched, as the ARM7TDMI-S leaves them.
TEST_F(StepUnderGdb, ShowsAnUnalignedStoreAtTheAlignedWord) {
  emu_->call("unaligned_str", {0x40002002, 0x12345678});
  debugger_.join();
  EXPECT_EQ(replies_, (std::vector<std::string>{"T05", "OK", "OK", "T05swbreak:;", "T05",
                                                "7856341200000000"}));
}

class RangeStepUnderGdb : public UnderGdb {
 protected:
  // At loop10 (0x100: mov r0,#10; 0x104: subs; 0x108: bne 0x104; 0x10c: bx lr), steps over
  // ranges: one ending inside the block (at the bne), the loop's two instructions with a
  // breakpoint in them and without, then a single step out of the call.
  void SetUp() override {
    debug(Options{}.watchdog_instructions,
          {"?", "Z0,100,4", "c", "vCont;r100,108:1", "p0", "pf", "Z0,104,4", "vCont;r104,10c:1;c",
           "p0", "z0,104,4", "vCont;r104,10c:1", "p0", "pf", "s", "k"});
  }
};

// Each range runs to the first instruction outside it (or to a breakpoint in it) with one stop,
// and the clocks are those of the run without a debugger.
TEST_F(RangeStepUnderGdb, StopsWhereThePcLeavesTheRange) {
  emu_->call("loop10");
  const Counters stepped = emu_->counters();
  emu_->call("loop10");  // its start ends the step out of the first call
  debugger_.join();
  EXPECT_EQ(replies_, (std::vector<std::string>{"T05", "OK", "T05swbreak:;", "T05", "09000000",
                                                "08010000", "OK", "T05swbreak:;", "09000000", "OK",
                                                "T05", "00000000", "0c010000", "T05"}));
  sim::Board board{sim::make_audio("silence")};
  Emulator plain(kProbe, board);
  plain.call("loop10");
  EXPECT_EQ(stepped.instructions, plain.counters().instructions);
  EXPECT_EQ(stepped.cycles, plain.counters().cycles);
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
