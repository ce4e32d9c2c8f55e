// ADC0 converting the audio source on AD0.1: START, DONE, RESULT and their misuse.
#include "adc0.h"

#include "sim/format.h"

namespace sim {

namespace {

constexpr double kAdcMaxClockHz = 4.5e6;
constexpr unsigned kAdcClocks = 11;  // at CLKS = 000, for 10 bits

using A = Adc0;

}  // namespace

const Register Adc0::kRegisters[] = {
    {LPCDEMO_REGISTER(AD0CR), Access::ReadWrite, chip::AD0CR_RESET, 0xFFFFFFFF, nullptr,
     checks(&A::check_control), then(&A::control_written)},
    {LPCDEMO_REGISTER(AD0GDR), Access::ReadOnly, 0, 0, reads(&A::read_data)},
};

Adc0::Adc0(Findings& findings, Clock& clock, std::unique_ptr<AudioSource> audio)
    : Peripheral(kRegisters, findings), clock_(clock), audio_(std::move(audio)) {}

void Adc0::reset_state() {
  busy_ = done_ = ever_converted_ = false;
  result_seen_ = true;
  idle_reads_ = 0;
  done_at_ = 0;
  pending_ = result_ = channel_ = pending_channel_ = 0;
}

std::uint32_t Adc0::check_control(const Register& r, std::uint32_t v) {
  if (done_ && !result_seen_) {
    findings_.fail(r, v, "written before DONE of the last conversion was read: result lost");
  }
  return v;
}

void Adc0::control_written(const Register& r, std::uint32_t v) {
  done_ = false;  // writing AD0CR clears DONE
  const std::uint32_t start = v & chip::AD0CR_START_MASK;
  if (v & chip::AD0CR_BURST) {
    findings_.fail_once("adc-burst", r, v, "burst mode: this board starts conversions by software");
  }
  if (start == chip::AD0CR_START_NOW) {
    start_conversion();
  } else if (start != 0) {
    findings_.fail_once(
        "adc-edge", r, v,
        "START waits for an edge on a pin this board does not drive: no conversion");
  }
}

void Adc0::start_conversion() {
  const std::uint32_t adcr = reg(kCr);
  if (busy_) fail(kCr, adcr, "conversion started while one is running: its result is lost");
  if (!(adcr & chip::AD0CR_PDN)) {
    fail(kCr, adcr, "START with PDN = 0: the converter is powered down");
    busy_ = false;
    return;
  }
  const std::uint32_t sel = adcr & chip::AD0CR_SEL_MASK;
  if (std::popcount(sel) != 1)
    fail_once("adc-sel", kCr, adcr, "SEL must select exactly one channel");
  const unsigned clkdiv = (adcr >> chip::AD0CR_CLKDIV_SHIFT) & chip::AD0CR_CLKDIV_MASK;
  const double adc_clock_hz = clock_.pclk_hz() / (clkdiv + 1);
  if (adc_clock_hz > kAdcMaxClockHz) {
    fail_once("adc-clock", kCr, adcr, "A/D clock " + mhz(adc_clock_hz) + " exceeds 4.5 MHz");
  }
  pending_channel_ = sel ? static_cast<std::uint32_t>(std::countr_zero(sel)) : 0;
  std::uint32_t code = 0;
  if (pending_channel_ == chip::AD0_AUDIO_CHANNEL) {
    code = audio_->next() & chip::AD0GDR_RESULT_MASK;
  } else {
    fail_once("adc-channel", kCr, adcr,
              "AD0." + std::to_string(pending_channel_) + " has no signal on this board");
  }
  const unsigned clks = (adcr >> chip::AD0CR_CLKS_SHIFT) & chip::AD0CR_CLKS_MASK;
  pending_ = code >> clks << clks;  // each CLKS step drops one bit of accuracy
  ++conversions_;
  busy_ = true;
  done_at_ = clock_.pclk + Board::conversion_pclks(adcr);
  if (!clock_.times_wire_events()) return;
  const double length_ns =
      static_cast<double>(Board::conversion_pclks(adcr)) * kNsPerSecond / clock_.pclk_hz();
  const double ns = clock_.wire_event(length_ns);
  for (WireSink* s : clock_.wire_sinks) s->conversion(ns, length_ns);
}

std::uint64_t Board::conversion_pclks(std::uint32_t ad0cr) {
  const unsigned clks = (ad0cr >> chip::AD0CR_CLKS_SHIFT) & chip::AD0CR_CLKS_MASK;
  const unsigned clkdiv = (ad0cr >> chip::AD0CR_CLKDIV_SHIFT) & chip::AD0CR_CLKDIV_MASK;
  return std::uint64_t{kAdcClocks - clks} * (clkdiv + 1);
}

void Adc0::finish_conversion() {
  busy_ = false;
  done_ = true;
  result_seen_ = false;
  ever_converted_ = true;
  idle_reads_ = 0;
  result_ = pending_;
  channel_ = pending_channel_;
}

std::uint32_t Adc0::read_data(const Register&, std::uint32_t) {
  if (busy_ && !clock_.clocked) finish_conversion();
  const std::uint32_t value = (result_ << chip::AD0GDR_RESULT_SHIFT) |
                              (channel_ << chip::AD0GDR_CHN_SHIFT) |
                              (done_ ? chip::AD0GDR_DONE : 0);
  if (done_) {
    done_ = false;  // reading clears DONE; RESULT stays
    result_seen_ = true;
  } else if (!busy_) {
    idle_read(value);
  }
  return value;
}

void Adc0::idle_read(std::uint32_t value) {
  if (!ever_converted_) {
    fail_once("adc-never", kGdr, value, "read before any conversion finished");
  } else if (!result_seen_) {
    fail_once("adc-unseen", kGdr, value,
              "RESULT read although DONE of its conversion was never seen");
  } else if (++idle_reads_ > 1) {
    fail_once("adc-idle", kGdr, value, "read again with no conversion running: DONE will not set");
  }
}

}  // namespace sim
