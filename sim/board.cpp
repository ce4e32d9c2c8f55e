// The board: its peripherals and the LCD on SPI0, dispatch of every access through the
// peripherals' register tables, width and existence checks, and findings.
#include <array>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "adc0.h"
#include "clock.h"
#include "fast_gpio.h"
#include "pin_connect.h"
#include "registers.h"
#include "sim/format.h"
#include "spi0.h"
#include "system_control.h"
#include "uart0.h"
#include "vic.h"

namespace sim {

void Findings::add(Finding f) {
  if (list_.size() < Board::kMaxFindings) {
    list_.push_back(std::move(f));
  } else if (suppressed_++ == 0) {
    list_.push_back({"further findings not listed", 0});
  }
}

void Findings::fail(const Register& r, std::uint32_t value, const std::string& message) {
  add({std::string(r.name) + " " + hex(value, static_cast<int>(r.width / 4)) + ": " + message,
       r.addr});
}

void Findings::fail_once(const std::string& key, const Register& r, std::uint32_t value,
                         const std::string& message) {
  if (first(key)) fail(r, value, message);
}

struct Board::State final : LcdObserver {
  explicit State(std::unique_ptr<AudioSource> audio)
      : sysctl(findings, clock),
        pins(findings),
        gpio(findings, clock, pins, sysctl),
        spi(findings, clock, pins),
        adc(findings, clock, std::move(audio)),
        uart(findings, clock, pins),
        vic(findings) {
    sysctl.connect(gpio);
    pins.connect(gpio);
    gpio.connect(lcd);
    spi.attach(lcd);
    lcd.add_observer(*this);
    for (Peripheral* p : peripherals()) map.add(p->table(), p);
    reset();
  }

  std::array<Peripheral*, 7> peripherals() {
    return {&sysctl, &pins, &gpio, &spi, &adc, &uart, &vic};
  }
  void reset() {
    for (Peripheral* p : peripherals()) p->reset();
    gpio.update_lines();
  }

  Findings findings;
  Clock clock;
  LcdModel lcd;
  SystemControl sysctl;
  PinConnect pins;
  FastGpio gpio;
  Spi0 spi;
  Adc0 adc;
  Uart0 uart;
  Vic vic;
  RegisterMap map;

  std::vector<LcdSink*> sinks;
  std::vector<std::uint64_t> frame_cclk;  // when each LCD frame completed, while kept
  bool keep_history = true;
  std::atomic<bool> stop_requested = false;  // set from a signal handler too
  std::uint64_t accesses_since_frame = 0;
  std::uint32_t access_addr = 0;  // of the access under way, for the LCD's findings
  std::optional<double> time_limit_s;

  // The LCD's reports.
  void word(std::uint16_t w) override {
    for (LcdSink* s : sinks) s->word(w);
  }
  void frame(const LcdFrame& f) override {
    if (keep_history) frame_cclk.push_back(clock.cclk);
    accesses_since_frame = 0;
    for (LcdSink* s : sinks) s->frame(f, clock.cclk, clock.cclk_hz());
  }
  void finding(const std::string& message) override {
    findings.add({"LCD: " + message, access_addr});
  }

  // Finishes whatever the clock has completed by now; inline, as every access and every
  // advance begins with it.
  void catch_up() {
    if (!clock.clocked) {
      count_unclocked_access();
      return;
    }
    sysctl.catch_up();
    spi.catch_up();
    adc.catch_up();
    uart.catch_up();
  }
  // Without a clock, time moves on by a nominal clock per access.
  void count_unclocked_access();

  // Any APB access other than the second feed write breaks a feed in progress.
  void check_feed(std::uint32_t addr, bool is_feed_write) {
    if (sysctl.feed_armed() && !is_feed_write &&
        chip::in_region(addr, chip::APB_BASE, chip::APB_SIZE)) {
      const Slot* s = map.find(addr);
      sysctl.abort_feed(s ? s->reg->name : hex(addr, 8));
    }
  }

  // Width and existence checks shared by reads and writes; the access goes ahead regardless.
  const Slot* check(std::uint32_t addr, unsigned width, std::uint32_t value, const char* what) {
    const Slot* s = map.find(addr);
    if (s == nullptr || s->reg->width != width) bad_access(s, addr, width, value, what);
    return s;
  }
  // The findings of an access check() turns down, apart so that check() stays small.
  void bad_access(const Slot* s, std::uint32_t addr, unsigned width, std::uint32_t value,
                  const char* what);
};

void Board::State::count_unclocked_access() {
  clock.count_access();
  if (stop_requested.load(std::memory_order_relaxed)) throw Stopped("stopped on request");
  // Without a clock nothing else ends firmware stuck in a loop: a calibration that never
  // settles, or a poll that can never succeed.
  if (++accesses_since_frame > kStallAccesses) {
    throw Stalled("no LCD frame in " + std::to_string(kStallAccesses) +
                  " register accesses: the firmware is stuck in a loop");
  }
}

void Board::State::bad_access(const Slot* s, std::uint32_t addr, unsigned width,
                              std::uint32_t value, const char* what) {
  const std::string access = std::string(what) + " of " + std::to_string(width) + " bits";
  if (s == nullptr) {
    if (findings.first("none" + std::to_string(addr))) {
      findings.add(
          {hex(addr, 8) + ": no register at this address (" + access + ", " + hex(value, 8) + ")",
           addr});
    }
  } else {
    findings.fail_once("width" + std::to_string(addr) + "/" + std::to_string(width), *s->reg, value,
                       access + " on a " + std::to_string(s->reg->width) + "-bit register");
  }
}

Board::Board(std::unique_ptr<AudioSource> audio) : s_(std::make_unique<State>(std::move(audio))) {}

Board::~Board() = default;

std::uint32_t Board::read(std::uint32_t addr, unsigned width) {
  State& s = *s_;
  s.access_addr = addr;
  s.catch_up();
  s.check_feed(addr, false);
  const Slot* slot = s.check(addr, width, 0, "read");
  const std::uint32_t value =
      slot ? slot->owner->read(slot->index) & width_mask(slot->reg->width) : 0;
  return value & width_mask(width);
}

void Board::write(std::uint32_t addr, unsigned width, std::uint32_t value) {
  State& s = *s_;
  s.access_addr = addr;
  s.catch_up();
  s.check_feed(addr, addr == chip::PLLFEED.addr);
  const Slot* slot = s.check(addr, width, value, "write");
  if (slot != nullptr) {
    slot->owner->write(slot->index, value & width_mask(width) & width_mask(slot->reg->width));
  }
}

void Board::reset() {
  s_->reset();
}

void Board::set_crystal_hz(double hz) {
  s_->clock.crystal_hz = hz;
  s_->clock.set_cclk_hz(s_->sysctl.cclk_hz());
}

unsigned Board::register_width(std::uint32_t addr) {
  // A board of its own answers for every board: the register map is the same on each.
  static const Board model(make_audio("silence"));
  const Slot* s = model.s_->map.find(addr);
  return s ? s->reg->width : 0;
}

bool Board::is_peripheral(std::uint32_t addr) {
  return chip::in_region(addr, chip::FIO_BASE, chip::FIO_SIZE) ||
         chip::in_region(addr, chip::APB_BASE, chip::APB_SIZE) ||
         chip::in_region(addr, chip::VIC_BASE, chip::VIC_SIZE);
}

void Board::request_stop() {
  s_->stop_requested.store(true, std::memory_order_relaxed);
}
bool Board::stop_requested() const {
  return s_->stop_requested.load(std::memory_order_relaxed);
}

void Board::enable_clock() {
  s_->clock.clocked = true;
}

void Board::advance(std::uint64_t cclk_cycles) {
  State& s = *s_;
  s.access_addr = chip::S0SPDR.addr;  // what completes now is a transfer's word, if anything
  s.clock.advance(cclk_cycles);
  s.catch_up();
}

std::uint64_t Board::cclk_cycles() const {
  return s_->clock.cclk;
}
double Board::cclk_hz() const {
  return s_->clock.cclk_hz();
}
double Board::pclk_hz() const {
  return s_->clock.pclk_hz();
}
std::uint8_t Board::mamtim() const {
  return s_->sysctl.mamtim();
}
std::uint8_t Board::mamcr() const {
  return s_->sysctl.mamcr();
}
std::uint8_t Board::memmap() const {
  return s_->sysctl.memmap();
}
double Board::seconds() const {
  return s_->clock.wire_ns() / kNsPerSecond;
}

void Board::set_time_limit(double seconds) {
  s_->time_limit_s = seconds;
}
std::optional<double> Board::time_limit() const {
  return s_->time_limit_s;
}
bool Board::time_up() const {
  return s_->time_limit_s && seconds() >= *s_->time_limit_s;
}
std::optional<std::uint64_t> Board::time_limit_cycles() const {
  const Clock& c = s_->clock;
  if (!c.clocked || !s_->time_limit_s) return std::nullopt;
  const double left_ns = *s_->time_limit_s * kNsPerSecond - c.wire_ns();
  if (left_ns <= 0) return c.cclk;
  return c.cclk + static_cast<std::uint64_t>(std::ceil(left_ns * c.cclk_hz() / kNsPerSecond));
}
std::optional<std::uint64_t> Board::transfer_done_at() const {
  return s_->spi.done_at();
}
std::optional<std::uint64_t> Board::conversion_done_at() const {
  return s_->adc.done_at();
}
std::optional<std::uint64_t> Board::character_done_at() const {
  return s_->uart.done_at();
}
std::uint64_t Board::conversions() const {
  return s_->adc.conversions();
}
const std::vector<std::uint64_t>& Board::frame_cycles() const {
  return s_->frame_cclk;
}

void Board::keep_history(bool keep) {
  s_->keep_history = keep;
  s_->lcd.keep_history(keep);
}

void Board::add_sink(LcdSink& sink) {
  s_->sinks.push_back(&sink);
}
void Board::add_wire_sink(WireSink& sink) {
  s_->clock.wire_sinks.push_back(&sink);
}
void Board::add_uart_sink(UartSink& sink) {
  s_->uart.add_sink(sink);
}
LcdModel& Board::lcd() {
  return s_->lcd;
}
const LcdModel& Board::lcd() const {
  return s_->lcd;
}
const std::vector<Finding>& Board::findings() const {
  return s_->findings.list();
}
void Board::report(Finding f) {
  s_->findings.add(std::move(f));
}
void Board::locate_findings(std::size_t first, const std::string& code) {
  auto& all = s_->findings.list();
  for (std::size_t i = first; i < all.size(); ++i) all[i].message += " (code at " + code + ")";
}

}  // namespace sim
