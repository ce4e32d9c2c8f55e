#include "sim/board.h"

#include <bit>
#include <set>
#include <utility>

#include "hw/lpc2138.h"
#include "sim/hex.h"

namespace sim {
namespace {

namespace L = lpc2138;

struct RegInfo {
  std::uint32_t addr;
  unsigned width;
  const char* name;
};

template <typename T>
constexpr RegInfo reg_info(hw::Reg<T> r, const char* name) {
  return {r.addr, hw::Reg<T>::width, name};
}

// The register's own identifier is its name in findings.
#define LPCDEMO_REG(r) reg_info(L::r, #r)
constexpr RegInfo kRegisters[] = {
    LPCDEMO_REG(MAMCR),    LPCDEMO_REG(MAMTIM),  LPCDEMO_REG(MEMMAP),      LPCDEMO_REG(PLLCON),
    LPCDEMO_REG(PLLCFG),   LPCDEMO_REG(PLLSTAT), LPCDEMO_REG(PLLFEED),     LPCDEMO_REG(VPBDIV),
    LPCDEMO_REG(SCS),      LPCDEMO_REG(PINSEL0), LPCDEMO_REG(PINSEL1),     LPCDEMO_REG(FIO0DIR),
    LPCDEMO_REG(FIO0MASK), LPCDEMO_REG(FIO0PIN), LPCDEMO_REG(FIO0SET),     LPCDEMO_REG(FIO0CLR),
    LPCDEMO_REG(S0SPCR),   LPCDEMO_REG(S0SPSR),  LPCDEMO_REG(S0SPDR),      LPCDEMO_REG(S0SPCCR),
    LPCDEMO_REG(AD0CR),    LPCDEMO_REG(AD0GDR),  LPCDEMO_REG(VICVectAddr),
};
#undef LPCDEMO_REG

constexpr const RegInfo* find_register(std::uint32_t addr) {
  for (const RegInfo& r : kRegisters) {
    if (r.addr == addr) return &r;
  }
  return nullptr;
}

static_assert(find_register(L::PLLSTAT.addr)->width == 16);

constexpr bool in_range(std::uint32_t addr, std::uint32_t base, std::uint32_t size) {
  return addr >= base && addr - base < size;
}

constexpr std::uint32_t width_mask(unsigned width) {
  return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
}

// The PLL needs 100 us of crystal clocks to lock, within the few hundred the manual allows.
constexpr std::uint64_t kPllLockCrystalCycles =
    static_cast<std::uint64_t>(Board::kCrystalHz / 10'000);
constexpr std::uint8_t kPllcfgFields =
    L::PLLCFG_MSEL_MASK | (L::PLLCFG_PSEL_MASK << L::PLLCFG_PSEL_SHIFT);
constexpr double kCcoMinHz = 156e6;
constexpr double kCcoMaxHz = 320e6;
constexpr double kCclkMinHz = 10e6;
constexpr double kCclkMaxHz = 60e6;
// MAMTIM the manual recommends: 1 below 20 MHz, 2 up to 40 MHz, 3 above.
constexpr double kMamOneCycleHz = 20e6;
constexpr double kMamTwoCyclesHz = 40e6;
constexpr std::uint8_t kMamtimAbove40MHz = 3;

constexpr double kAdcMaxClockHz = 4.5e6;
constexpr unsigned kAdcClocks = 11;  // at CLKS = 000, for 10 bits
constexpr unsigned kLcdWordBits = 9;
constexpr std::uint32_t kWireMsb = 1u << (kLcdWordBits - 1);
constexpr unsigned kSpiDefaultBits = 8;  // BitEnable = 0
constexpr unsigned kSpiMaxBits = 16;     // BITS = 0

constexpr std::size_t kMaxFindings = 1000;  // a broken loop repeats its fault endlessly

unsigned pinsel_function(std::uint32_t pinsel0, std::uint32_t pin_mask) {
  const unsigned shift = L::PINSEL_FIELD_BITS * static_cast<unsigned>(std::countr_zero(pin_mask));
  return (pinsel0 >> shift) & L::PINSEL_FIELD_MASK;
}

}  // namespace

struct Board::State {
  std::unique_ptr<AudioSource> audio;
  LcdModel lcd;
  std::vector<Finding> findings;
  std::set<std::string> reported_once;
  std::size_t lcd_findings_taken = 0;
  std::size_t suppressed = 0;

  // Time: processor clocks, and the peripheral and crystal clocks they make.
  bool clocked = false;
  std::uint64_t cclk = 0, pclk = 0, xtal = 0;
  std::uint64_t pclk_rest = 0, xtal_rest = 0;

  // System control.
  std::uint8_t memmap = 0, mamcr = L::MAMCR_OFF, mamtim = L::MAMTIM_MAX;
  std::uint8_t pllcon = 0, pllcfg = 0, pllcon_now = 0, pllcfg_now = 0;
  bool feed_armed = false, locked = false;
  std::uint64_t lock_at = 0;  // crystal clocks
  std::uint8_t vpbdiv = L::VPBDIV_PCLK_QUARTER;
  std::uint32_t scs = 0;

  // Pins.
  std::uint32_t pinsel0 = 0, pinsel1 = 0, fiodir = 0, fiomask = 0, fiolatch = 0;

  // SPI0.
  std::uint16_t spcr = 0;
  std::uint8_t spccr = 0, spsr = 0;
  bool spi_busy = false, spif_seen = false, spi_to_lcd = false;
  std::uint64_t spi_done_at = 0;  // peripheral clocks
  std::uint16_t spi_word = 0;

  // ADC0.
  std::uint32_t adcr = L::AD0CR_RESET;
  bool adc_busy = false, adc_done = false, result_seen = true, ever_converted = false;
  unsigned idle_reads = 0;
  std::uint64_t adc_done_at = 0;  // peripheral clocks
  std::uint32_t adc_pending = 0, adc_result = 0, adc_channel = 0, adc_pending_channel = 0;
  std::uint64_t conversions = 0;

  // --- findings ---
  void add(Finding f) {
    if (findings.size() < kMaxFindings) {
      findings.push_back(std::move(f));
    } else if (suppressed++ == 0) {
      findings.push_back({"further findings not listed", 0});
    }
  }
  void fail(std::uint32_t addr, std::uint32_t value, const std::string& message) {
    const RegInfo* r = find_register(addr);
    const std::string name = r ? r->name : hex(addr, 8);
    add({name + " " + hex(value, r ? static_cast<int>(r->width / 4) : 8) + ": " + message, addr});
  }
  // For faults that would otherwise repeat on every word or sample.
  void fail_once(const std::string& key, std::uint32_t addr, std::uint32_t value,
                 const std::string& message) {
    if (reported_once.insert(key).second) fail(addr, value, message);
  }
  void take_lcd_findings(std::uint32_t addr) {
    const auto& lf = lcd.findings();
    for (; lcd_findings_taken < lf.size(); ++lcd_findings_taken) {
      add({"LCD: " + lf[lcd_findings_taken], addr});
    }
  }

  // --- clocks ---
  bool pll_enabled() const { return pllcon_now & L::PLLCON_PLLE; }
  bool pll_connected() const { return pll_enabled() && (pllcon_now & L::PLLCON_PLLC); }
  unsigned multiplier(std::uint8_t cfg) const { return (cfg & L::PLLCFG_MSEL_MASK) + 1u; }
  unsigned divider(std::uint8_t cfg) const {
    return 1u << ((cfg >> L::PLLCFG_PSEL_SHIFT) & L::PLLCFG_PSEL_MASK);
  }
  double cclk_hz() const {
    return pll_connected() ? kCrystalHz * multiplier(pllcfg_now) : kCrystalHz;
  }
  unsigned pclk_divider() const {
    switch (vpbdiv) {
      case L::VPBDIV_PCLK_IS_CCLK:
        return 1;
      case L::VPBDIV_PCLK_HALF:
        return 2;
      default:
        return 4;
    }
  }
  double pclk_hz() const { return cclk_hz() / pclk_divider(); }

  void advance(std::uint64_t cycles) {
    cclk += cycles;
    pclk_rest += cycles;
    pclk += pclk_rest / pclk_divider();
    pclk_rest %= pclk_divider();
    const unsigned m = pll_connected() ? multiplier(pllcfg_now) : 1;
    xtal_rest += cycles;
    xtal += xtal_rest / m;
    xtal_rest %= m;
    catch_up();
  }

  // Finishes whatever the clock has completed by now.
  void catch_up() {
    if (!clocked) return;
    if (pll_enabled() && !locked && xtal >= lock_at) locked = true;
    if (spi_busy && pclk >= spi_done_at) finish_transfer();
    if (adc_busy && pclk >= adc_done_at) finish_conversion();
  }

  // --- system control ---
  void check_mamtim() {
    if (mamcr == L::MAMCR_OFF) return;
    const double f = cclk_hz();
    const std::uint8_t need = f < kMamOneCycleHz ? 1 : f < kMamTwoCyclesHz ? 2 : kMamtimAbove40MHz;
    if (mamtim < need) {
      fail(L::MAMTIM.addr, mamtim,
           "flash fetches of " + std::to_string(mamtim) + " clocks are too short at CCLK " +
               std::to_string(f / 1e6) + " MHz (at least " + std::to_string(need) + ")");
    }
  }

  void check_pll_frequencies() {
    const double f = kCrystalHz * multiplier(pllcfg_now);
    const double cco = f * 2 * divider(pllcfg_now);
    if (cco < kCcoMinHz || cco > kCcoMaxHz) {
      fail(L::PLLCFG.addr, pllcfg_now,
           "CCO " + std::to_string(cco / 1e6) + " MHz lies outside 156-320 MHz");
    }
    if (f < kCclkMinHz || f > kCclkMaxHz) {
      fail(L::PLLCFG.addr, pllcfg_now,
           "CCLK " + std::to_string(f / 1e6) + " MHz lies outside 10-60 MHz");
    }
  }

  void feed() {
    feed_armed = false;
    const bool was_enabled = pll_enabled();
    const bool was_connected = pll_connected();
    const bool cfg_changed = pllcfg != pllcfg_now;
    pllcon_now = pllcon;
    pllcfg_now = pllcfg;
    if (!pll_enabled()) {
      locked = false;
    } else if (!was_enabled || cfg_changed) {
      locked = false;
      lock_at = xtal + kPllLockCrystalCycles;
      check_pll_frequencies();
    }
    if (pll_connected() && !locked) {
      fail(L::PLLCON.addr, pllcon_now, "PLL connected before it locked (PLLSTAT.PLOCK = 0)");
    }
    if (pll_connected() != was_connected) check_mamtim();
  }

  void write_feed(std::uint8_t v) {
    if (v == L::PLLFEED_FIRST) {
      feed_armed = true;
    } else if (v == L::PLLFEED_SECOND && feed_armed) {
      feed();
    } else if (v == L::PLLFEED_SECOND) {
      fail(L::PLLFEED.addr, v, "0x55 without 0xAA directly before it: no feed");
    } else {
      feed_armed = false;
      fail(L::PLLFEED.addr, v, "not part of the feed sequence 0xAA, 0x55");
    }
  }

  std::uint16_t read_pllstat() {
    if (!pll_enabled()) {
      fail_once("pllstat-off", L::PLLSTAT.addr, 0,
                "read with the PLL not enabled by a feed: PLOCK will never set");
    } else if (!clocked) {
      locked = true;  // without a clock, lock is reached by the first poll
    }
    return static_cast<std::uint16_t>(pllcfg_now | (pll_enabled() ? L::PLLSTAT_PLLE : 0) |
                                      ((pllcon_now & L::PLLCON_PLLC) ? L::PLLSTAT_PLLC : 0) |
                                      (locked ? L::PLLSTAT_PLOCK : 0));
  }

  void write_mamcr(std::uint8_t v) {
    if (v > L::MAMCR_FULL) fail(L::MAMCR.addr, v, "reserved mode (0 off, 1 partial, 2 full)");
    mamcr = v & L::MAMCR_MODE_MASK;
    check_mamtim();
  }

  void write_mamtim(std::uint8_t v) {
    if (mamcr != L::MAMCR_OFF) {
      fail(L::MAMTIM.addr, v, "changed while the accelerator is on (MAMCR " + hex(mamcr) + ")");
    }
    if (v == 0 || v > L::MAMTIM_MAX) fail(L::MAMTIM.addr, v, "reserved value (1-7 allowed)");
    mamtim = v & L::MAMTIM_MAX;
    check_mamtim();
  }

  // --- pins ---
  std::uint32_t pin_level(std::uint32_t pin) const {
    const bool driven =
        (scs & L::SCS_GPIO0M) && (fiodir & pin) && pinsel_function(pinsel0, pin) == L::PINSEL_GPIO;
    return driven ? (fiolatch & pin) : pin;  // undriven lines are pulled up
  }
  void update_lcd_lines() {
    lcd.set_reset(pin_level(L::P0_LCD_RESET) == 0);
    lcd.set_select(pin_level(L::P0_LCD_CS) == 0);
  }
  void check_fast_gpio(std::uint32_t addr, std::uint32_t v) {
    if (!(scs & L::SCS_GPIO0M)) {
      fail_once("gpio0m", addr, v,
                "fast GPIO used while SCS.GPIO0M = 0: the legacy registers drive port 0");
    }
  }
  std::uint32_t read_fiopin() const {
    std::uint32_t level = 0;
    for (unsigned pin = 0; pin < 32; ++pin) level |= pin_level(1u << pin);
    return level & ~fiomask;
  }

  // --- SPI0 ---
  unsigned spi_bits() {
    if (!(spcr & L::S0SPCR_BITENABLE)) return kSpiDefaultBits;
    const unsigned bits = (spcr >> L::S0SPCR_BITS_SHIFT) & L::S0SPCR_BITS_MASK;
    if (bits == 0) return kSpiMaxBits;
    if (bits < kSpiDefaultBits) {
      fail_once("spi-bits", L::S0SPCR.addr, spcr, "reserved BITS value");
      return kSpiDefaultBits;
    }
    return bits;
  }

  // Whether the LCD can take this word: its lines routed and its 9-bit mode 3 format.
  bool lcd_can_see(unsigned bits) {
    bool ok = true;
    if (pinsel_function(pinsel0, L::P0_SCK0) != L::PINSEL_SPI0 ||
        pinsel_function(pinsel0, L::P0_MOSI0) != L::PINSEL_SPI0) {
      fail_once("spi-pins", L::PINSEL0.addr, pinsel0,
                "P0.4 and P0.6 are not SCK0 and MOSI0: the LCD sees no clock or data");
      ok = false;
    }
    if (bits != kLcdWordBits) {
      fail_once("spi-width", L::S0SPCR.addr, spcr,
                std::to_string(bits) + "-bit transfers: the LCD takes 9-bit words");
      ok = false;
    }
    if (spcr & L::S0SPCR_LSBF) {
      fail_once("spi-lsbf", L::S0SPCR.addr, spcr,
                "least significant bit first: the LCD takes the flag bit first");
      ok = false;
    }
    if (!(spcr & L::S0SPCR_CPOL) || !(spcr & L::S0SPCR_CPHA)) {
      fail_once("spi-mode", L::S0SPCR.addr, spcr,
                "CPOL and CPHA must both be 1: the LCD samples on the rising edge of a clock "
                "that idles high");
      ok = false;
    }
    return ok;
  }

  void touch_spdr() {
    if (spif_seen) spsr &= static_cast<std::uint8_t>(~(L::S0SPSR_SPIF | L::S0SPSR_WCOL));
    spif_seen = false;
  }

  void write_spdr(std::uint16_t v) {
    touch_spdr();
    if (spi_busy) {
      spsr |= L::S0SPSR_WCOL;
      fail(L::S0SPDR.addr, v, "written while a transfer is in progress: WCOL set, word lost");
      return;
    }
    if (!(spcr & L::S0SPCR_MSTR)) {
      fail(L::S0SPDR.addr, v, "written with S0SPCR.MSTR = 0: a slave sends nothing by itself");
      return;
    }
    if (spsr & L::S0SPSR_SPIF) {
      fail_once("spif-stale", L::S0SPDR.addr, v,
                "written with SPIF still set (S0SPSR not read since the last transfer): "
                "SPIF cannot tell when this word is out");
    }
    if (spccr < L::S0SPCCR_MIN || spccr % 2 != 0) {
      fail_once("spccr", L::S0SPCCR.addr, spccr, "must be even and at least 8");
    }
    const unsigned bits = spi_bits();
    spi_to_lcd = lcd_can_see(bits);
    spi_word = static_cast<std::uint16_t>(v & width_mask(bits));
    spi_busy = true;
    const unsigned sck_divider = spccr < L::S0SPCCR_MIN ? L::S0SPCCR_MIN : spccr;
    spi_done_at = pclk + std::uint64_t{bits} * sck_divider;
  }

  void finish_transfer() {
    spi_busy = false;
    spsr |= L::S0SPSR_SPIF;
    if (spi_to_lcd) lcd.receive(static_cast<std::uint16_t>(spi_word & (2 * kWireMsb - 1)));
  }

  std::uint8_t read_spsr() {
    if (spi_busy && !clocked) finish_transfer();
    if (spsr & L::S0SPSR_SPIF) spif_seen = true;
    return spsr;
  }

  // --- ADC0 ---
  void write_adcr(std::uint32_t v) {
    if (adc_done && !result_seen) {
      fail(L::AD0CR.addr, v, "written before DONE of the last conversion was read: result lost");
    }
    adcr = v;
    adc_done = false;  // writing AD0CR clears DONE
    const std::uint32_t start = v & L::AD0CR_START_MASK;
    if (v & L::AD0CR_BURST) {
      fail_once("adc-burst", L::AD0CR.addr, v,
                "burst mode: this board starts conversions by software");
    }
    if (start == L::AD0CR_START_NOW) {
      start_conversion();
    } else if (start != 0) {
      fail_once("adc-edge", L::AD0CR.addr, v,
                "START waits for an edge on a pin this board does not drive: no conversion");
    }
  }

  void start_conversion() {
    if (adc_busy) {
      fail(L::AD0CR.addr, adcr, "conversion started while one is running: its result is lost");
    }
    if (!(adcr & L::AD0CR_PDN)) {
      fail(L::AD0CR.addr, adcr, "START with PDN = 0: the converter is powered down");
      adc_busy = false;
      return;
    }
    const std::uint32_t sel = adcr & L::AD0CR_SEL_MASK;
    if (std::popcount(sel) != 1) {
      fail_once("adc-sel", L::AD0CR.addr, adcr, "SEL must select exactly one channel");
    }
    const unsigned clkdiv = (adcr >> L::AD0CR_CLKDIV_SHIFT) & L::AD0CR_CLKDIV_MASK;
    if (pclk_hz() / (clkdiv + 1) > kAdcMaxClockHz) {
      fail_once(
          "adc-clock", L::AD0CR.addr, adcr,
          "A/D clock " + std::to_string(pclk_hz() / (clkdiv + 1) / 1e6) + " MHz exceeds 4.5 MHz");
    }
    adc_pending_channel = sel ? static_cast<std::uint32_t>(std::countr_zero(sel)) : 0;
    std::uint32_t code = 0;
    if (adc_pending_channel == L::AD0_AUDIO_CHANNEL) {
      code = audio->next() & L::AD0GDR_RESULT_MASK;
    } else {
      fail_once("adc-channel", L::AD0CR.addr, adcr,
                "AD0." + std::to_string(adc_pending_channel) + " has no signal on this board");
    }
    const unsigned clks = (adcr >> L::AD0CR_CLKS_SHIFT) & L::AD0CR_CLKS_MASK;
    adc_pending = code >> clks << clks;  // each CLKS step drops one bit of accuracy
    ++conversions;
    adc_busy = true;
    adc_done_at = pclk + std::uint64_t{kAdcClocks - clks} * (clkdiv + 1);
  }

  void finish_conversion() {
    adc_busy = false;
    adc_done = true;
    result_seen = false;
    ever_converted = true;
    idle_reads = 0;
    adc_result = adc_pending;
    adc_channel = adc_pending_channel;
  }

  std::uint32_t read_adgdr() {
    if (adc_busy && !clocked) finish_conversion();
    const std::uint32_t value = (adc_result << L::AD0GDR_RESULT_SHIFT) |
                                (adc_channel << L::AD0GDR_CHN_SHIFT) |
                                (adc_done ? L::AD0GDR_DONE : 0);
    if (adc_done) {
      adc_done = false;  // reading clears DONE; RESULT stays
      result_seen = true;
    } else if (!adc_busy) {
      idle_read(value);
    }
    return value;
  }

  // A read with nothing running: the one result read after DONE is fine, anything else is not.
  void idle_read(std::uint32_t value) {
    if (!ever_converted) {
      fail_once("adc-never", L::AD0GDR.addr, value, "read before any conversion finished");
    } else if (!result_seen) {
      fail_once("adc-unseen", L::AD0GDR.addr, value,
                "RESULT read although DONE of its conversion was never seen");
    } else if (++idle_reads > 1) {
      fail_once("adc-idle", L::AD0GDR.addr, value,
                "read again with no conversion running: DONE will not set");
    }
  }

  // --- dispatch ---
  std::uint32_t read(std::uint32_t addr) {
    switch (addr) {
      case L::MAMCR.addr:
        return mamcr;
      case L::MAMTIM.addr:
        return mamtim;
      case L::MEMMAP.addr:
        return memmap;
      case L::PLLCON.addr:
        return pllcon;
      case L::PLLCFG.addr:
        return pllcfg;
      case L::PLLSTAT.addr:
        return read_pllstat();
      case L::VPBDIV.addr:
        return vpbdiv;
      case L::SCS.addr:
        return scs;
      case L::PINSEL0.addr:
        return pinsel0;
      case L::PINSEL1.addr:
        return pinsel1;
      case L::FIO0DIR.addr:
        check_fast_gpio(addr, fiodir);
        return fiodir;
      case L::FIO0MASK.addr:
        check_fast_gpio(addr, fiomask);
        return fiomask;
      case L::FIO0PIN.addr:
        check_fast_gpio(addr, 0);
        return read_fiopin();
      case L::FIO0SET.addr:
        check_fast_gpio(addr, fiolatch);
        return fiolatch;
      case L::S0SPCR.addr:
        return spcr;
      case L::S0SPSR.addr:
        return read_spsr();
      case L::S0SPDR.addr:
        touch_spdr();
        return 0;  // MISO0 is not connected
      case L::S0SPCCR.addr:
        return spccr;
      case L::AD0CR.addr:
        return adcr;
      case L::AD0GDR.addr:
        return read_adgdr();
      case L::VICVectAddr.addr:
        return 0;
      default:
        fail(addr, 0, "write-only register read");
        return 0;
    }
  }

  void write_fio(std::uint32_t addr, std::uint32_t v) {
    check_fast_gpio(addr, v);
    const std::uint32_t open = ~fiomask;  // masked pins ignore SET, CLR and PIN writes
    switch (addr) {
      case L::FIO0DIR.addr:
        fiodir = v;
        break;
      case L::FIO0MASK.addr:
        fiomask = v;
        break;
      case L::FIO0PIN.addr:
        fiolatch = (fiolatch & fiomask) | (v & open);
        break;
      case L::FIO0SET.addr:
        fiolatch |= v & open;
        break;
      default:
        fiolatch &= ~(v & open);
        break;
    }
    update_lcd_lines();
  }

  void write(std::uint32_t addr, std::uint32_t v) {
    const auto v8 = static_cast<std::uint8_t>(v);
    switch (addr) {
      case L::MAMCR.addr:
        write_mamcr(v8);
        break;
      case L::MAMTIM.addr:
        write_mamtim(v8);
        break;
      case L::MEMMAP.addr:
        if (v8 > L::MEMMAP_USER_RAM) fail(addr, v8, "reserved mapping");
        memmap = v8 & L::MEMMAP_MODE_MASK;
        break;
      case L::PLLCON.addr:
        pllcon = v8 & (L::PLLCON_PLLE | L::PLLCON_PLLC);
        break;
      case L::PLLCFG.addr:
        pllcfg = v8 & kPllcfgFields;
        break;
      case L::PLLFEED.addr:
        write_feed(v8);
        break;
      case L::VPBDIV.addr:
        if ((v8 & L::VPBDIV_MASK) == L::VPBDIV_MASK) {
          fail(addr, v8, "reserved divider: the previous one stays");
        } else {
          vpbdiv = v8 & L::VPBDIV_MASK;
        }
        break;
      case L::SCS.addr:
        scs = v & (L::SCS_GPIO0M | L::SCS_GPIO1M);
        update_lcd_lines();
        break;
      case L::PINSEL0.addr:
        pinsel0 = v;
        update_lcd_lines();
        break;
      case L::PINSEL1.addr:
        pinsel1 = v;
        break;
      case L::FIO0DIR.addr:
      case L::FIO0MASK.addr:
      case L::FIO0PIN.addr:
      case L::FIO0SET.addr:
      case L::FIO0CLR.addr:
        write_fio(addr, v);
        break;
      case L::S0SPCR.addr:
        spcr = static_cast<std::uint16_t>(v);
        break;
      case L::S0SPDR.addr:
        write_spdr(static_cast<std::uint16_t>(v));
        break;
      case L::S0SPCCR.addr:
        if (v8 < L::S0SPCCR_MIN || v8 % 2 != 0) fail(addr, v8, "must be even and at least 8");
        spccr = v8;
        break;
      case L::AD0CR.addr:
        write_adcr(v);
        break;
      case L::VICVectAddr.addr:
        break;  // acknowledges an interrupt; none is ever raised
      default:
        fail(addr, v, "read-only register written");
        break;
    }
  }

  // Width and existence checks shared by reads and writes; the access goes ahead regardless.
  const RegInfo* check(std::uint32_t addr, unsigned width, std::uint32_t value, const char* what) {
    const RegInfo* r = find_register(addr);
    if (r != nullptr && r->width == width) return r;
    const std::string access = std::string(what) + " of " + std::to_string(width) + " bits";
    if (r == nullptr) {
      if (reported_once.insert("none" + std::to_string(addr)).second) {
        add({hex(addr, 8) + ": no register at this address (" + access + ", " + hex(value, 8) + ")",
             addr});
      }
    } else {
      fail_once("width" + std::to_string(addr) + "/" + std::to_string(width), addr, value,
                access + " on a " + std::to_string(r->width) + "-bit register");
    }
    return r;
  }

  // Any APB access other than the second feed write breaks a feed in progress.
  void check_feed(std::uint32_t addr, bool is_feed_write) {
    if (!feed_armed || is_feed_write || !in_range(addr, L::APB_BASE, L::APB_SIZE)) return;
    feed_armed = false;
    const RegInfo* r = find_register(addr);
    fail(L::PLLFEED.addr, L::PLLFEED_FIRST,
         std::string("feed aborted by an access to ") + (r ? r->name : hex(addr, 8).c_str()) +
             " between 0xAA and 0x55");
  }
};

Board::Board(std::unique_ptr<AudioSource> audio) : s_(std::make_unique<State>()) {
  s_->audio = std::move(audio);
}

Board::~Board() = default;

std::uint32_t Board::read(std::uint32_t addr, unsigned width) {
  State& s = *s_;
  s.catch_up();
  s.check_feed(addr, false);
  const RegInfo* r = s.check(addr, width, 0, "read");
  const std::uint32_t value = r ? s.read(addr) & width_mask(r->width) : 0;
  s.take_lcd_findings(addr);
  return value & width_mask(width);
}

void Board::write(std::uint32_t addr, unsigned width, std::uint32_t value) {
  State& s = *s_;
  s.catch_up();
  s.check_feed(addr, addr == L::PLLFEED.addr);
  const RegInfo* r = s.check(addr, width, value, "write");
  if (r != nullptr) s.write(addr, value & width_mask(width) & width_mask(r->width));
  s.take_lcd_findings(addr);
}

bool Board::is_peripheral(std::uint32_t addr) {
  return in_range(addr, L::FIO_BASE, L::FIO_SIZE) || in_range(addr, L::APB_BASE, L::APB_SIZE) ||
         in_range(addr, L::VIC_BASE, L::VIC_SIZE);
}

void Board::enable_clock() {
  s_->clocked = true;
}

void Board::advance(std::uint64_t cclk_cycles) {
  s_->advance(cclk_cycles);
  s_->take_lcd_findings(L::S0SPDR.addr);
}

std::uint64_t Board::cclk_cycles() const {
  return s_->cclk;
}
double Board::cclk_hz() const {
  return s_->cclk_hz();
}
double Board::pclk_hz() const {
  return s_->pclk_hz();
}
std::uint8_t Board::mamtim() const {
  return s_->mamtim;
}
std::uint8_t Board::mamcr() const {
  return s_->mamcr;
}
std::uint8_t Board::memmap() const {
  return s_->memmap;
}
std::uint64_t Board::conversions() const {
  return s_->conversions;
}
LcdModel& Board::lcd() {
  return s_->lcd;
}
const LcdModel& Board::lcd() const {
  return s_->lcd;
}
const std::vector<Finding>& Board::findings() const {
  return s_->findings;
}
void Board::report(Finding f) {
  s_->add(std::move(f));
}

}  // namespace sim
