// The profile on the probe image, whose routines' clocks are known per instruction: each
// instruction's own cost, and a call's count and inclusive cost; and where it puts a flash read
// that a block's registers cannot place.
#include "emu/profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "emu/emulator.h"
#include "sim/audio.h"
#include "support/temp_dir.h"

namespace emu {
namespace {

const std::string kProbe = LPCDEMO_BINARY_DIR "/emu/probe.elf";
constexpr std::int32_t kMamFull = 2;
constexpr std::int32_t kOneClockFlash = 1;  // with the full accelerator: no waits at all

struct Read {
  std::map<std::uint32_t, Costs> self;  // by instruction address
  std::map<std::string, std::pair<std::uint64_t, Costs>>
      calls;  // "caller>callee": count, inclusive
};

// The cost lines of a profile; those after calls= are a call's inclusive cost.
Read read(const std::string& path) {
  Read r;
  std::ifstream in(path);
  std::string line, fn, cfn;
  std::uint64_t count = 0;
  while (std::getline(in, line)) {
    if (line.starts_with("fn=")) fn = line.substr(3);
    if (line.starts_with("cfn=")) cfn = line.substr(4);
    if (line.starts_with("calls=")) count = std::stoull(line.substr(6));
    if (!line.starts_with("0x")) continue;
    std::istringstream fields(line);
    std::string addr;
    int source_line = 0;
    Costs c{};
    fields >> addr >> source_line >> c[0] >> c[1] >> c[2] >> c[3];
    if (count != 0) {
      r.calls[fn + ">" + cfn] = {count, c};
      count = 0;
    } else {
      r.self[static_cast<std::uint32_t>(std::stoul(addr, nullptr, 16))] = c;
    }
  }
  return r;
}

class ProbeProfile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kProbe)) GTEST_SKIP() << "no probe image (arm-none-eabi-as)";
    emu_ = std::make_unique<Emulator>(kProbe, board_);
    emu_->call("mam_set", {kMamFull, kOneClockFlash});
    emu_->record_profile();
  }
  Read profile() {
    const std::string path = dir_ / "probe.callgrind";
    emu_->write_profile(path, "profile_test");
    return read(path);
  }

  test::TempDir dir_;
  sim::Board board_{sim::make_audio("silence")};
  std::unique_ptr<Emulator> emu_;
};

TEST_F(ProbeProfile, EachInstructionCarriesItsOwnClocks) {
  emu_->call("loop10");
  const Read r = profile();
  const std::uint32_t loop = 0x100;  // mov; subs; bne; bx
  EXPECT_EQ(r.self.at(loop), (Costs{1, 1, 0, 0}));
  EXPECT_EQ(r.self.at(loop + 4), (Costs{10, 10, 0, 0}));
  EXPECT_EQ(r.self.at(loop + 8), (Costs{9 * 3 + 1, 10, 0, 0}));  // taken 9 times
  EXPECT_EQ(r.self.at(loop + 12), (Costs{3, 1, 0, 0}));
  EXPECT_EQ(r.self.size(), 4u);
}

// What is settled as a block runs goes to the instruction it belongs to, not the block's
// first, and an APB wait to the access that waited, on every pass of a poll loop, those run
// inside one callback included.
TEST_F(ProbeProfile, SettledAndWaitedClocksLandOnTheirInstruction) {
  emu_->call("cond_exit", {1});
  emu_->call("mul_exit", {0x12345678, 5});
  emu_->call("mla_if", {0, 5});
  emu_->call("mla_if", {0x12345678, 5});
  emu_->call("spi_setup");
  emu_->call("poll_tst", {0x02C});
  const Read r = profile();
  // cond_exit: mov 1 (the assembler's for ldr =), cmp 1, ldrne executed 3 (settled as the
  // block ends), bx 3.
  EXPECT_EQ(r.self.at(0x140), (Costs{1, 1, 0, 0}));
  EXPECT_EQ(r.self.at(0x144), (Costs{1, 1, 0, 0}));
  EXPECT_EQ(r.self.at(0x148), (Costs{3, 1, 0, 0}));
  EXPECT_EQ(r.self.at(0x14C), (Costs{3, 1, 0, 0}));
  // mul_exit: mov 1, mul 1 + 4 (four significant bytes), bx 3.
  EXPECT_EQ(r.self.at(0x1E0), (Costs{1, 1, 0, 0}));
  EXPECT_EQ(r.self.at(0x1E4), (Costs{5, 1, 0, 0}));
  EXPECT_EQ(r.self.at(0x1E8), (Costs{3, 1, 0, 0}));
  // mla_if's mlane: skipped 1, then executed 2 + 4.
  EXPECT_EQ(r.self.at(0xB84), (Costs{1 + 2 + 4, 2, 0, 0}));
  // poll_tst: strh to S0SPDR 2 + the APB wait W; each of the n passes: ldrb of S0SPSR 3 + W,
  // tst 1, beq 3 taken, 1 the last time.
  constexpr std::uint64_t W = Timing{}.apb_wait;
  EXPECT_EQ(r.self.at(0x4C4), (Costs{2 + W, 1, 0, W}));
  const std::uint64_t n = r.self.at(0x4C8)[1];
  EXPECT_GT(n, 72 * 4 / (7 + W));  // 72 * 4 clocks to wait, 7 + W a pass
  EXPECT_EQ(r.self.at(0x4C8), (Costs{(3 + W) * n, n, 0, W * n}));
  EXPECT_EQ(r.self.at(0x4CC), (Costs{n, n, 0, 0}));
  EXPECT_EQ(r.self.at(0x4D0), (Costs{3 * n - 2, n, 0, 0}));
}

// A data read's wait lands on the load that made it, whichever of a block's loads that is:
// RAM, then a table in flash outside the data buffer's line (3-clock reads: 2 more). The first
// instruction carries the first call's fetch of the routine's line; the second call finds it
// in the branch trail buffer.
TEST_F(ProbeProfile, AFlashReadsWaitLandsOnItsOwnLoad) {
  emu_->call("mam_set", {2, 3});
  emu_->call("two_loads", {0x3000, 0x40000600});
  emu_->call("two_loads", {0x3010, 0x40000600});
  const Read r = profile();
  const auto flash_wait = static_cast<std::size_t>(Event::FlashWait);
  EXPECT_EQ(r.self.at(0x1000)[flash_wait], 2u);
  EXPECT_EQ(r.self.at(0x1004)[flash_wait], 2u * 2);
}

TEST_F(ProbeProfile, CallsCountWithTheirCalleesCost) {
  emu_->call("overflow");
  emu_->call("overflow");
  const Read r = profile();
  ASSERT_EQ(r.calls.size(), 1u);
  const auto& [count, inclusive] = r.calls.at("overflow>leaf");
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(inclusive, (Costs{2 * 3, 2, 0, 0}));  // bx lr, twice
}

// A call through a register (mov lr, pc, then bx or a load of the pc) is a call like bl: an
// edge to its callee with the callee's cost inside, not the callee's clocks on the caller's line.
TEST_F(ProbeProfile, IndirectCallsCountAsCalls) {
  struct Caller {
    const char* name;
    std::uint32_t site;  // the bx or ldr pc
    std::uint64_t site_clocks;
  };
  const Caller callers[] = {{"call_bx", 0x94C, 3},    // bx: 2S+1N
                            {"call_ldr", 0x968, 5}};  // ldr pc: 2S+2N+1I
  for (const Caller& c : callers) {
    emu_->call(c.name);
    emu_->call(c.name);
  }
  const Read r = profile();
  for (const Caller& c : callers) {
    const std::string edge = std::string(c.name) + ">leaf";
    ASSERT_EQ(r.calls.count(edge), 1u) << edge;
    EXPECT_EQ(r.calls.at(edge).first, 2u) << edge;
    EXPECT_EQ(r.calls.at(edge).second, (Costs{2 * 3, 2, 0, 0})) << edge;  // bx lr, twice
    EXPECT_EQ(r.self.at(c.site), (Costs{2 * c.site_clocks, 2, 0, 0})) << c.name;
  }
  EXPECT_EQ(r.calls.size(), 2u);
  EXPECT_EQ(r.self.at(0x398), (Costs{4 * 3, 4, 0, 0}));  // leaf's own bx lr
}

// blne not taken goes on to the next instruction: no call.
TEST_F(ProbeProfile, ConditionalCallsCountWhenTaken) {
  emu_->call("call_if", {0});
  emu_->call("call_if", {1});
  emu_->call("call_if", {0});
  const Read r = profile();
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.calls.at("call_if>leaf"), (std::pair<std::uint64_t, Costs>{1, {3, 1, 0, 0}}));
  EXPECT_EQ(r.self.at(0xB48), (Costs{3 + 1 + 1, 3, 0, 0}));  // blne: taken 3, skipped 1
}

}  // namespace
}  // namespace emu
