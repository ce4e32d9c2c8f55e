// The profile on the probe image, whose routines' clocks are known per instruction: each
// instruction's own cost, and a call's count and inclusive cost.
#include "emu/profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

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

TEST_F(ProbeProfile, CallsCountWithTheirCalleesCost) {
  emu_->call("overflow");
  emu_->call("overflow");
  const Read r = profile();
  ASSERT_EQ(r.calls.size(), 1u);
  const auto& [count, inclusive] = r.calls.at("overflow>leaf");
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(inclusive, (Costs{2 * 3, 2, 0, 0}));  // bx lr, twice
}

}  // namespace
}  // namespace emu
