// ADC0 converting the audio source on AD0.1: START, DONE, RESULT and their misuse.
#include "board_state.h"

#include "sim/format.h"

namespace sim {

using namespace board_detail;

namespace {

constexpr double kAdcMaxClockHz = 4.5e6;
constexpr unsigned kAdcClocks = 11;  // at CLKS = 000, for 10 bits

}  // namespace

void Board::State::write_adcr(std::uint32_t v) {
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

void Board::State::start_conversion() {
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
  const double adc_clock_hz = pclk_hz() / (clkdiv + 1);
  if (adc_clock_hz > kAdcMaxClockHz) {
    fail_once("adc-clock", L::AD0CR.addr, adcr,
              "A/D clock " + mhz(adc_clock_hz) + " exceeds 4.5 MHz");
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
  adc_done_at = pclk + conversion_pclks(adcr);
  if (!times_wire_events()) return;
  const double length_ns = static_cast<double>(conversion_pclks(adcr)) * kNsPerSecond / pclk_hz();
  const double ns = wire_event(length_ns);
  for (WireSink* s : wire_sinks) s->conversion(ns, length_ns);
}

std::uint64_t Board::conversion_pclks(std::uint32_t ad0cr) {
  const unsigned clks = (ad0cr >> L::AD0CR_CLKS_SHIFT) & L::AD0CR_CLKS_MASK;
  const unsigned clkdiv = (ad0cr >> L::AD0CR_CLKDIV_SHIFT) & L::AD0CR_CLKDIV_MASK;
  return std::uint64_t{kAdcClocks - clks} * (clkdiv + 1);
}

void Board::State::finish_conversion() {
  adc_busy = false;
  adc_done = true;
  result_seen = false;
  ever_converted = true;
  idle_reads = 0;
  adc_result = adc_pending;
  adc_channel = adc_pending_channel;
}

std::uint32_t Board::State::read_adgdr() {
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

void Board::State::idle_read(std::uint32_t value) {
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

}  // namespace sim
