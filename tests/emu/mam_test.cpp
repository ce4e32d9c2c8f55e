// The accelerator's answers to fetches and data reads at given clocks. A flash read takes
// MAMTIM clocks, of which the core's own cycle counts one: a miss stalls MAMTIM - 1; a line
// being prefetched stalls the core until it arrives.
#include "emu/mam.h"

#include <gtest/gtest.h>

namespace emu {
namespace {

constexpr std::uint8_t kTiming = 3;
constexpr unsigned kMiss = kTiming - 1;
constexpr bool kSequential = true, kBranch = false;

TEST(Mam, FullModeHoldsTheLinesItFetched) {
  Mam mam;
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.fetch(0x100, kBranch, 0), kMiss);    // into the branch trail; 0x110 from 3 to 6
  EXPECT_EQ(mam.fetch(0x100, kBranch, 10), 0u);      // loop back: branch trail
  EXPECT_EQ(mam.fetch(0x110, kSequential, 12), 0u);  // prefetched; 0x120 from 12 to 15
  EXPECT_EQ(mam.fetch(0x120, kSequential, 13), 1u);  // still on its way: 15 - 13 - 1
  EXPECT_EQ(mam.fetch(0x400, kBranch, 20), kMiss);   // a call far away takes the trail
  EXPECT_EQ(mam.fetch(0x120, kBranch, 30), 0u);      // back into the prefetch buffer's line
  EXPECT_EQ(mam.fetch(0x100, kBranch, 40), kMiss);   // pushed out of the trail by 0x400
}

// A loop entered by falling into its line, its taken branch at word 2: the branch's own fetch
// of pc+8 brings the next line into the prefetch buffer and the loop's line out, so the first
// branch back misses; the miss puts the line in the branch trail, where later passes find it.
TEST(Mam, ABranchsFetchOfTheNextLinePushesItsLoopOut) {
  Mam mam;
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.fetch(0x0F0, kBranch, 0), kMiss);    // 0x100 prefetched from 3 to 6
  EXPECT_EQ(mam.fetch(0x100, kSequential, 10), 0u);  // 0x110 from 10 to 13
  EXPECT_EQ(mam.fetch(0x110, kSequential, 14), 0u);  // the branch's pc+8; 0x120 from 14
  EXPECT_EQ(mam.fetch(0x100, kBranch, 16), kMiss);   // back: 0x110 again from 19 to 22
  EXPECT_EQ(mam.fetch(0x110, kSequential, 22), 0u);  // pc+8 again, there just in time
  EXPECT_EQ(mam.fetch(0x100, kBranch, 24), 0u);      // the trail holds the loop now
}

TEST(Mam, DataReadsUseTheirOwnBufferAndDelayAPrefetch) {
  Mam mam;
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.read(0x2000, 0), kMiss);
  EXPECT_EQ(mam.read(0x200C, 5), 0u);  // same 16-byte line
  EXPECT_EQ(mam.read(0x2010, 6), kMiss);
  EXPECT_EQ(mam.read(0x2000, 9), kMiss);
  // Data reads leave the instruction buffers alone ...
  EXPECT_EQ(mam.fetch(0x100, kBranch, 20), kMiss);  // 0x110 from 23 to 26
  EXPECT_EQ(mam.read(0x3000, 30), kMiss);
  EXPECT_EQ(mam.fetch(0x100, kBranch, 40), 0u);
  // ... but one made while a prefetch is on its way aborts it, and it starts again after.
  EXPECT_EQ(mam.fetch(0x500, kBranch, 50), kMiss);   // 0x510 from 53 to 56
  EXPECT_EQ(mam.read(0x3010, 54), kMiss);            // 0x510 again from 57 to 60
  EXPECT_EQ(mam.fetch(0x510, kSequential, 57), 2u);  // 60 - 57 - 1
  // A prefetch already complete stays latched.
  EXPECT_EQ(mam.read(0x3020, 70), kMiss);  // 0x520 arrived at 60
  EXPECT_EQ(mam.fetch(0x520, kSequential, 75), 0u);
}

TEST(Mam, OffAndPartialModes) {
  Mam mam;
  // Out of reset the accelerator is off with 7-clock reads: every fetch and read waits 6.
  EXPECT_TRUE(mam.off());
  EXPECT_EQ(mam.wait(), 6u);
  EXPECT_EQ(mam.read(0x2000, 0), 6u);
  EXPECT_EQ(mam.read(0x2000, 10), 6u);

  mam.configure(chip::MAMCR_PARTIAL, kTiming);
  EXPECT_FALSE(mam.off());
  EXPECT_EQ(mam.fetch(0x100, kBranch, 0), kMiss);
  EXPECT_EQ(mam.fetch(0x100, kBranch, 10), kMiss);   // every branch reads, latched or not
  EXPECT_EQ(mam.fetch(0x110, kSequential, 20), 0u);  // sequential lines come prefetched ...
  EXPECT_EQ(mam.fetch(0x200, kBranch, 30), kMiss);   // ... after the read: 0x210 from 33 to 36
  EXPECT_EQ(mam.fetch(0x210, kSequential, 34), 1u);
  EXPECT_EQ(mam.read(0x2000, 24), kMiss);  // and every data read reads
  EXPECT_EQ(mam.read(0x2000, 30), kMiss);
}

TEST(Mam, ReconfiguringEmptiesTheBuffers) {
  Mam mam;
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.fetch(0x100, kBranch, 0), kMiss);
  EXPECT_EQ(mam.read(0x2000, 10), kMiss);
  mam.configure(chip::MAMCR_FULL, 1);  // one-clock flash: nothing ever waits
  EXPECT_EQ(mam.fetch(0x500, kBranch, 20), 0u);
  EXPECT_EQ(mam.read(0x2000, 30), 0u);
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.fetch(0x100, kBranch, 40), kMiss);
  EXPECT_EQ(mam.read(0x2000, 50), kMiss);
  mam.configure(chip::MAMCR_FULL, 0);  // reserved: taken as 8 clocks
  EXPECT_EQ(mam.fetch(0x100, kBranch, 60), 7u);
}

// Straight-line code of one-clock instructions: the core presents the next line two
// instructions after the branch's fetch cycle ends (its pc+8), then one 4 clocks after each
// fetch cycle ends. At MAMTIM 3 the prefetch keeps ahead; at 5 the flash falls behind: 2 for
// the first line (a read from 5 to 10, presented at 7), then 1 a line.
TEST(Mam, StraightLineCodeKeepsUpWhileALineTakesLongerThanARead) {
  struct Case {
    std::uint8_t timing;
    unsigned stalls[5];
  };
  for (const Case& c : {Case{3, {2, 0, 0, 0, 0}}, Case{5, {4, 2, 1, 1, 1}}}) {
    Mam mam;
    mam.configure(chip::MAMCR_FULL, c.timing);
    unsigned stall = mam.fetch(0x100, kBranch, 0);
    EXPECT_EQ(stall, c.stalls[0]);
    std::uint64_t now = stall + 1 + 2;
    for (std::uint32_t k = 1; k < 5; ++k) {
      stall = mam.fetch(0x100 + 0x10 * k, kSequential, now);
      EXPECT_EQ(stall, c.stalls[k]) << "MAMTIM " << int{c.timing} << ", line " << k;
      now += stall + 4;
    }
  }
}

}  // namespace
}  // namespace emu
