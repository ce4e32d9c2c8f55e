// The accelerator's wait states for runs of code and data reads, with MAMTIM = 3: a miss
// takes 3 clocks for the flash, of which the core's own cycle is one.
#include "emu/mam.h"

#include <gtest/gtest.h>

namespace emu {
namespace {

constexpr std::uint8_t kTiming = 3;
constexpr unsigned kMiss = kTiming - 1;

TEST(Mam, FullModeHoldsTheLinesItFetched) {
  Mam mam;
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.fetch(0x100, 0x108, false), kMiss);  // first visit to line 0x10
  EXPECT_EQ(mam.fetch(0x100, 0x108, false), 0u);     // loop back: branch-trail buffer
  EXPECT_EQ(mam.fetch(0x108, 0x118, true), 0u);      // straight on into line 0x11: prefetched
  EXPECT_EQ(mam.fetch(0x118, 0x120, true), 0u);      // still line 0x11
  EXPECT_EQ(mam.fetch(0x400, 0x404, false), kMiss);  // a call far away
  EXPECT_EQ(mam.fetch(0x110, 0x114, false), 0u);     // back into the prefetched line
  EXPECT_EQ(mam.fetch(0x200, 0x204, false), kMiss);  // replaces the branch-trail line
  EXPECT_EQ(mam.fetch(0x400, 0x404, false), kMiss);  // 0x400's line was pushed out
}

TEST(Mam, FullModeDataBufferHoldsOneLine) {
  Mam mam;
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.read(0x2000), kMiss);
  EXPECT_EQ(mam.read(0x200C), 0u);  // same 16-byte line
  EXPECT_EQ(mam.read(0x2010), kMiss);
  EXPECT_EQ(mam.read(0x2000), kMiss);
  // Data reads leave the instruction buffers alone.
  EXPECT_EQ(mam.fetch(0x100, 0x104, false), kMiss);
  EXPECT_EQ(mam.read(0x3000), kMiss);
  EXPECT_EQ(mam.fetch(0x100, 0x104, false), 0u);
}

TEST(Mam, OffAndPartialModes) {
  Mam mam;
  // Out of reset the accelerator is off with 7-clock fetches: every word waits 6.
  EXPECT_EQ(mam.fetch(0x100, 0x110, true), 4u * 6);
  mam.configure(chip::MAMCR_OFF, kTiming);
  EXPECT_EQ(mam.fetch(0x100, 0x10C, true), 3u * kMiss);
  EXPECT_EQ(mam.read(0x2000), kMiss);
  EXPECT_EQ(mam.read(0x2000), kMiss);

  mam.configure(chip::MAMCR_PARTIAL, kTiming);
  EXPECT_EQ(mam.fetch(0x100, 0x120, true), 0u);
  EXPECT_EQ(mam.fetch(0x100, 0x120, false), kMiss);  // every branch goes to flash
  EXPECT_EQ(mam.read(0x2000), kMiss);                // and every data read
  EXPECT_EQ(mam.read(0x2000), kMiss);
}

TEST(Mam, ReconfiguringFlushesTheBuffers) {
  Mam mam;
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.fetch(0x100, 0x104, false), kMiss);
  EXPECT_EQ(mam.read(0x2000), kMiss);
  mam.configure(chip::MAMCR_FULL, 1);  // one-clock flash: nothing ever waits
  EXPECT_EQ(mam.fetch(0x500, 0x504, false), 0u);
  mam.configure(chip::MAMCR_FULL, kTiming);
  EXPECT_EQ(mam.fetch(0x100, 0x104, false), kMiss);
  EXPECT_EQ(mam.read(0x2000), kMiss);
}

// Straight-line code through the accelerator, a block at a time, the blocks ending at
// branches not taken. Fully on, the line after the one being fetched is prefetched while the
// current one executes (UM10120, MAM chapter): only the branch into the code waits, however
// the code is cut into blocks, as long as each line takes MAMTIM clocks or more. Partly on,
// sequential fetches come from the prefetch as well, but every branch goes to flash; off, every
// fetch does.
TEST(Mam, StraightLineCodeWaitsOnlyForTheBranchIntoIt) {
  struct Run {
    std::uint32_t addr, end;
    bool sequential;
    unsigned full, partial, off;  // stall in each mode
  };
  const Run runs[] = {
      {0x100, 0x120, false, kMiss, kMiss, 8 * kMiss},  // branched into, two lines
      {0x120, 0x130, true, 0, 0, 4 * kMiss},           // one whole line, falling through
      {0x130, 0x134, true, 0, 0, kMiss},               // one word of the next line
      {0x134, 0x140, true, 0, 0, 3 * kMiss},           // the rest of that line
      {0x140, 0x150, true, 0, 0, 4 * kMiss},           // a line after a split one
      {0x150, 0x168, true, 0, 0, 6 * kMiss},           // across a line boundary
      {0x168, 0x170, true, 0, 0, 2 * kMiss},           //
  };
  struct Mode {
    const char* name;
    std::uint8_t mamcr;
    unsigned Run::*stall;
  };
  const Mode modes[] = {{"full", chip::MAMCR_FULL, &Run::full},
                        {"partial", chip::MAMCR_PARTIAL, &Run::partial},
                        {"off", chip::MAMCR_OFF, &Run::off}};
  for (const Mode& m : modes) {
    Mam mam;
    mam.configure(m.mamcr, kTiming);
    for (const Run& r : runs) {
      EXPECT_EQ(mam.fetch(r.addr, r.end, r.sequential), r.*m.stall)
          << m.name << ": " << std::hex << r.addr << "-" << r.end;
    }
  }
}

}  // namespace
}  // namespace emu
