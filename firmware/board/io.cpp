#include "board/io.h"

#include "hw/lpc2138.h"

namespace chip = lpc2138;

std::uint16_t avg;

namespace {

// Clock: CCLK = 3 x crystal, CCO = CCLK x 2 x 4 = 24 x crystal, PCLK = CCLK.
constexpr std::uint8_t kPllM = 3;
constexpr std::uint8_t kPllPselDiv4 = 2;
constexpr std::uint8_t kPllcfg = (kPllM - 1) | (kPllPselDiv4 << chip::PLLCFG_PSEL_SHIFT);
static_assert(kPllcfg == 0x42);
constexpr std::uint8_t kFlashFetchClocks = 3;

// A pin's field in PINSEL0 (P0.0-P0.15) or PINSEL1 (P0.16-P0.31).
constexpr std::uint32_t pin_function(unsigned pin, std::uint32_t function) {
  return function << (chip::PINSEL_FIELD_BITS * (pin % chip::PINSEL_PINS));
}
constexpr std::uint32_t kPinsel0 =
    pin_function(0, chip::PINSEL_UART0) | pin_function(1, chip::PINSEL_UART0) |
    pin_function(4, chip::PINSEL_SPI0) | pin_function(6, chip::PINSEL_SPI0);
static_assert(kPinsel0 == 0x00001105);
// P0.23 gets function 3 although nothing here uses the pin.
constexpr std::uint32_t kP023Function = 3;
constexpr std::uint32_t kPinsel1 = pin_function(23, kP023Function);
static_assert(kPinsel1 == 0x0000C000);

// 9-bit master, clock idle high, data taken on the rising edge, MSB first, no interrupt.
constexpr unsigned kLcdWordBits = 9;
constexpr std::uint16_t kSpiControl = chip::S0SPCR_BITENABLE | chip::S0SPCR_CPHA |
                                      chip::S0SPCR_CPOL | chip::S0SPCR_MSTR |
                                      (kLcdWordBits << chip::S0SPCR_BITS_SHIFT);
static_assert(kSpiControl == 0x093C);
constexpr std::uint8_t kSckDivider = chip::S0SPCCR_MIN;  // PCLK / 8, the fastest the port allows

constexpr std::uint32_t kPort0Outputs =
    chip::P0_SCK0 | chip::P0_MOSI0 | chip::P0_LCD_CS | chip::P0_LCD_RESET | chip::P0_AUX;
static_assert(kPort0Outputs == 0x3D0);

// AD0.1, A/D clock PCLK / 256, 11 clocks per 10-bit result, powered, not started.
constexpr std::uint32_t kAdcChannel1 = 1u << chip::AD0_AUDIO_CHANNEL;
constexpr std::uint32_t kAdcClockDiv = 255;
constexpr std::uint32_t kAdcControl =
    kAdcChannel1 | (kAdcClockDiv << chip::AD0CR_CLKDIV_SHIFT) | chip::AD0CR_PDN;
static_assert(kAdcControl == 0x0020FF02);

constexpr int kWaitsomePasses = 153;
constexpr int kWaitabitPasses = 53;

// The counter lives in memory (volatile) so the compiler keeps every pass.
void busy_wait(int passes) {
  volatile int x = 0;
  while (x <= passes - 1) {
    hw::delay_pass();
    x = x + 1;
  }
}

// Makes the PLLCON and PLLCFG values written before it take effect; nothing may come between.
void pll_feed() {
  hw::write(chip::PLLFEED, chip::PLLFEED_FIRST);
  hw::write(chip::PLLFEED, chip::PLLFEED_SECOND);
}

constexpr int kCalibrationSamplesLog2 = 10;
constexpr std::uint32_t kCalibrationSamples = 1u << kCalibrationSamplesLog2;
constexpr std::uint32_t kCalibrationMaxDrop = 100;

}  // namespace

void waitsome() {
  busy_wait(kWaitsomePasses);
}

void waitabit() {
  busy_wait(kWaitabitPasses);
}

void processor_init() {
  hw::write(chip::MEMMAP, chip::MEMMAP_USER_FLASH);
  hw::write(chip::MAMCR, chip::MAMCR_OFF);  // the fetch timing may only change while the MAM is off
  hw::write(chip::MAMTIM, kFlashFetchClocks);
  hw::write(chip::MAMCR, chip::MAMCR_FULL);
  hw::write(chip::PLLCFG, kPllcfg);
  hw::write(chip::PLLCON, chip::PLLCON_PLLE);
  pll_feed();
  while ((hw::read(chip::PLLSTAT) & chip::PLLSTAT_PLOCK) == 0) {
  }
  hw::write(chip::PLLCON,
            chip::PLLCON_PLLE | chip::PLLCON_PLLC);  // connecting before lock would glitch CCLK
  pll_feed();
  hw::write(chip::VPBDIV, chip::VPBDIV_PCLK_IS_CCLK);
}

void io_init() {
  hw::write(chip::PINSEL0, kPinsel0);
  hw::write(chip::S0SPCR, kSpiControl);
  hw::write(chip::S0SPCCR, kSckDivider);
  hw::write(chip::PINSEL1, kPinsel1);
  hw::write(chip::SCS, chip::SCS_GPIO0M);
  hw::write(chip::FIO0DIR, kPort0Outputs);
  hw::write(chip::AD0CR, kAdcControl);
  hw::write(chip::FIO0SET, chip::P0_LCD_CS);
  hw::write(chip::FIO0CLR, chip::P0_LCD_RESET);
  waitsome();
  hw::write(chip::FIO0SET, chip::P0_LCD_RESET);
  waitsome();  // the controller needs time after reset before its first command
  hw::write(chip::FIO0SET, chip::P0_AUX);
}

void sendlcd(int d) {
  if ((d & lcdlink::kCommand) != 0) lcdlink::pulse_select();  // before each command
  lcdlink::start(d);
  lcdlink::wait_done();
}

std::int16_t getad() {
  return adc::sample();
}

// Repeats passes of 1024 samples until a pass's mean is at most 100 below the previous one and
// not above it; the unsigned difference makes any rise count as a large drop.
void calibratead() {
  avg = 0;
  std::uint32_t a = 0;
  std::uint32_t oa;
  do {
    oa = a;
    for (std::uint32_t i = 0; i < kCalibrationSamples; ++i) a += adc::convert();
    a >>= kCalibrationSamplesLog2;
  } while (oa - a > kCalibrationMaxDrop);
  avg = static_cast<std::uint16_t>(a);
}
