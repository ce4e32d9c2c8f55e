#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "board/io.h"
#include "hw/lpc2138.h"
#include "support/recording_bus.h"

namespace {

namespace chip = lpc2138;
using test::Access;
using test::Delay;
using test::R;
using test::W;

struct Io : ::testing::Test {
  test::RecordingBus bus;
  test::ScopedBus scope{bus};
};

TEST_F(Io, CommandWordPulsesChipSelectFirst) {
  sendlcd(0x12C);
  EXPECT_EQ(bus.log, (std::vector<Access>{W(chip::FIO0SET, 0x80), W(chip::FIO0CLR, 0x80),
                                          W(chip::S0SPDR, 0x02C), R(chip::S0SPSR, 0xFF)}));
}

TEST_F(Io, DataWordsLeaveChipSelectAlone) {
  sendlcd(0x050);
  sendlcd(0x000);
  sendlcd(0x0FF);
  EXPECT_EQ(bus.writes(), (std::vector<Access>{W(chip::S0SPDR, 0x150), W(chip::S0SPDR, 0x100),
                                               W(chip::S0SPDR, 0x1FF)}));
}

TEST_F(Io, EachCommandGetsItsOwnPulse) {
  sendlcd(0x120);
  sendlcd(0x129);
  EXPECT_EQ(bus.writes(), (std::vector<Access>{W(chip::FIO0SET, 0x80), W(chip::FIO0CLR, 0x80),
                                               W(chip::S0SPDR, 0x020), W(chip::FIO0SET, 0x80),
                                               W(chip::FIO0CLR, 0x80), W(chip::S0SPDR, 0x029)}));
}

// Polls S0SPSR as a byte until SPIF, and only then returns.
TEST_F(Io, WaitsUntilTransferComplete) {
  bus.queue_reads(chip::S0SPSR.addr, {0x00, 0x7F, 0x40, 0x80});
  sendlcd(0x0A5);
  EXPECT_EQ(bus.log, (std::vector<Access>{W(chip::S0SPDR, 0x1A5), R(chip::S0SPSR, 0x00),
                                          R(chip::S0SPSR, 0x7F), R(chip::S0SPSR, 0x40),
                                          R(chip::S0SPSR, 0x80)}));
}

TEST_F(Io, DelaysCountTheirPasses) {
  waitsome();
  EXPECT_EQ(bus.log, std::vector<Access>{Delay(153)});
  bus.log.clear();
  waitabit();
  EXPECT_EQ(bus.log, std::vector<Access>{Delay(53)});
}

TEST_F(Io, ProcessorInitSequence) {
  bus.queue_reads(chip::PLLSTAT.addr, {0x0000, 0x0142, 0x03FF & ~0x400u, 0x0542});
  processor_init();
  const std::vector<Access> expected = {
      W(chip::MEMMAP, 1),       W(chip::MAMCR, 0),        W(chip::MAMTIM, 3),
      W(chip::MAMCR, 2),        W(chip::PLLCFG, 0x42),    W(chip::PLLCON, 1),
      W(chip::PLLFEED, 0xAA),   W(chip::PLLFEED, 0x55),   R(chip::PLLSTAT, 0x0000),
      R(chip::PLLSTAT, 0x0142), R(chip::PLLSTAT, 0x03FF), R(chip::PLLSTAT, 0x0542),
      W(chip::PLLCON, 3),       W(chip::PLLFEED, 0xAA),   W(chip::PLLFEED, 0x55),
      W(chip::VPBDIV, 1)};
  EXPECT_EQ(bus.log, expected);
}

TEST_F(Io, IoInitSequence) {
  io_init();
  const std::vector<Access> expected = {W(chip::PINSEL0, 0x00001105),
                                        W(chip::S0SPCR, 0x093C),
                                        W(chip::S0SPCCR, 8),
                                        W(chip::PINSEL1, 0x0000C000),
                                        W(chip::SCS, 1),
                                        W(chip::FIO0DIR, 0x3D0),
                                        W(chip::AD0CR, 0x0020FF02),
                                        W(chip::FIO0SET, 0x080),
                                        W(chip::FIO0CLR, 0x100),
                                        Delay(153),
                                        W(chip::FIO0SET, 0x100),
                                        Delay(153),
                                        W(chip::FIO0SET, 0x200)};
  EXPECT_EQ(bus.log, expected);
}

// A converter that answers each conversion with a code from `code_of(k)`, k counting from 0.
// Its DONE poll is clear once, then set with a different RESULT, and the code comes only from
// the read after the poll (which, as on the chip, has DONE clear again).
struct Converter : test::RecordingBus {
  std::function<int(int)> code_of;
  int conversions = 0;
  int step = 0;

  void write(std::uint32_t addr, unsigned width, std::uint32_t value) override {
    RecordingBus::write(addr, width, value);
    if (addr == chip::AD0CR.addr && (value & chip::AD0CR_START_NOW) != 0) {
      ++conversions;
      step = 0;
    }
  }
  std::uint32_t read(std::uint32_t addr, unsigned width) override {
    if (addr != chip::AD0CR.addr && addr != chip::AD0GDR.addr)
      return RecordingBus::read(addr, width);
    const std::uint32_t v =
        addr == chip::AD0CR.addr ? 0x0020FF02 : result();  // AD0CR as io_init left it
    log.push_back({Access::Read, addr, width, v});
    return v;
  }
  std::uint32_t result() {
    const auto code = static_cast<std::uint32_t>(code_of(conversions - 1));
    switch (step++) {
      case 0:
        return 0x01000000;  // still converting
      case 1:
        return chip::AD0GDR_DONE | ((code ^ 0x3FF) << 6);  // done; RESULT not to be used
      default:
        return 0x01000000 | (code << 6) | 0x3F;  // the code, DONE cleared
    }
  }
};

struct Calibration : ::testing::Test {
  Converter adc;
  test::ScopedBus scope{adc};

  // Pass p (from 0) converts the constant code codes[p]; the last one repeats.
  void passes(std::vector<int> codes) {
    adc.code_of = [codes](int k) {
      const std::size_t p = static_cast<std::size_t>(k / 1024);
      return codes[p < codes.size() ? p : codes.size() - 1];
    };
  }
};

TEST_F(Calibration, ConstantMidCodeTakesTwoPasses) {
  avg = 77;
  passes({512});
  calibratead();
  EXPECT_EQ(avg, 512);
  EXPECT_EQ(adc.conversions, 2048);
}

TEST_F(Calibration, ConstantZeroEndsAfterOnePass) {
  avg = 300;
  passes({0});
  calibratead();
  EXPECT_EQ(avg, 0);
  EXPECT_EQ(adc.conversions, 1024);
}

TEST_F(Calibration, ConstantFullScale) {
  passes({1023});
  calibratead();
  EXPECT_EQ(avg, 1023);
  EXPECT_EQ(adc.conversions, 2048);
}

TEST_F(Calibration, AnyRiseForcesAnotherPass) {
  passes({600, 601, 601});
  calibratead();
  EXPECT_EQ(avg, 601);
  EXPECT_EQ(adc.conversions, 3 * 1024);
}

TEST_F(Calibration, DropOfAHundredEnds) {
  passes({600, 500});
  calibratead();
  EXPECT_EQ(avg, 500);
  EXPECT_EQ(adc.conversions, 2048);
}

TEST_F(Calibration, DropOfMoreThanAHundredContinues) {
  passes({600, 499});
  calibratead();
  EXPECT_EQ(avg, 499);
  EXPECT_EQ(adc.conversions, 3 * 1024);
}

// The mean of a pass includes the previous pass's result, carried in the accumulator:
// (600 + 1023 * 700 + 1 * 100) / 1024 = 700 for the second pass, so one more pass follows.
TEST_F(Calibration, AccumulatorCarriesThePreviousResult) {
  adc.code_of = [](int k) { return k < 1024 ? 600 : (k == 2047 ? 100 : 700); };
  calibratead();
  EXPECT_EQ(avg, 700);
  EXPECT_EQ(adc.conversions, 3 * 1024);
}

TEST_F(Calibration, GetadSubtractsTheZeroLevel) {
  passes({512});
  calibratead();
  for (int code : {512, 1023, 0, 100}) {
    adc.code_of = [code](int) { return code; };
    EXPECT_EQ(getad(), code - 512) << code;
  }
}

TEST_F(Calibration, GetadStartsOneConversionAndReadsTheCodeAfterDone) {
  avg = 0;
  adc.code_of = [](int) { return 321; };
  adc.log.clear();
  EXPECT_EQ(getad(), 321);
  EXPECT_EQ(adc.conversions, 1);
  const std::vector<Access> expected = {R(chip::AD0CR, 0x0020FF02), W(chip::AD0CR, 0x0120FF02),
                                        R(chip::AD0GDR, 0x01000000),
                                        R(chip::AD0GDR, chip::AD0GDR_DONE | (702u << 6)),
                                        R(chip::AD0GDR, 0x01000000 | (321u << 6) | 0x3F)};
  EXPECT_EQ(adc.log, expected);
}

TEST(Getad, WrapsToSixteenBits) {
  Converter adc;
  test::ScopedBus scope(adc);
  adc.code_of = [](int) { return 3; };
  avg = 0xFFFF;
  EXPECT_EQ(getad(), 4);  // 3 - 65535 in 32 bits, truncated to 16
  avg = 1023;
  EXPECT_EQ(getad(), -1020);
  avg = 0;
}

}  // namespace
