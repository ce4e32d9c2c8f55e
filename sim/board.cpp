// The board's register map: dispatch by address, width and existence checks, and findings.
#include "board_state.h"

#include <array>
#include <iterator>
#include <utility>

#include "sim/format.h"

namespace sim {

namespace board_detail {

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

// Every access looks its register up, so the lookup is one slot of a direct-mapped table: the
// word address folded with two higher bit fields, which sets every register above apart.
constexpr std::size_t kSlots = 128;
constexpr std::int8_t kNoRegister = -1;

constexpr std::size_t slot_of(std::uint32_t addr) {
  constexpr unsigned kWordShift = 2, kPageShift = 8, kBlockShift = 15;
  return ((addr >> kWordShift) ^ (addr >> kPageShift) ^ (addr >> kBlockShift)) % kSlots;
}

using SlotTable = std::array<std::int8_t, kSlots>;

// The table, or a useless one if two registers share a slot: every_register_found() says which.
constexpr SlotTable make_slots() {
  SlotTable slots{};
  slots.fill(kNoRegister);
  for (std::size_t i = 0; i < std::size(kRegisters); ++i) {
    std::int8_t& slot = slots[slot_of(kRegisters[i].addr)];
    if (slot != kNoRegister) return SlotTable{};
    slot = static_cast<std::int8_t>(i);
  }
  return slots;
}

constexpr SlotTable kSlotTable = make_slots();

constexpr const RegInfo* find_register(std::uint32_t addr) {
  const std::int8_t i = kSlotTable[slot_of(addr)];
  if (i == kNoRegister || kRegisters[i].addr != addr) return nullptr;
  return &kRegisters[i];
}

constexpr bool every_register_found() {
  for (const RegInfo& r : kRegisters) {
    if (find_register(r.addr) != &r) return false;
  }
  return true;
}

static_assert(every_register_found(), "two registers share a slot of the lookup table");
static_assert(find_register(L::PLLSTAT.addr)->width == 16);
static_assert(find_register(L::PLLSTAT.addr + 1) == nullptr);

}  // namespace board_detail

using namespace board_detail;

namespace {

constexpr std::uint8_t kPllcfgFields =
    L::PLLCFG_MSEL_MASK | (L::PLLCFG_PSEL_MASK << L::PLLCFG_PSEL_SHIFT);
constexpr std::size_t kMaxFindings = 1000;  // a broken loop repeats its fault endlessly

}  // namespace

void Board::State::add(Finding f) {
  if (findings.size() < kMaxFindings) {
    findings.push_back(std::move(f));
  } else if (suppressed++ == 0) {
    findings.push_back({"further findings not listed", 0});
  }
}

void Board::State::fail(std::uint32_t addr, std::uint32_t value, const std::string& message) {
  const RegInfo* r = find_register(addr);
  const std::string name = r ? r->name : hex(addr, 8);
  add({name + " " + hex(value, r ? static_cast<int>(r->width / 4) : 8) + ": " + message, addr});
}

void Board::State::fail_once(const std::string& key, std::uint32_t addr, std::uint32_t value,
                             const std::string& message) {
  if (reported_once.insert(key).second) fail(addr, value, message);
}

void Board::State::take_new_lcd_findings(std::uint32_t addr) {
  const auto& lf = lcd.findings();
  for (; lcd_findings_taken < lf.size(); ++lcd_findings_taken) {
    add({"LCD: " + lf[lcd_findings_taken], addr});
  }
}

std::uint32_t Board::State::read(std::uint32_t addr) {
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

void Board::State::write_fio(std::uint32_t addr, std::uint32_t v) {
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

void Board::State::write(std::uint32_t addr, std::uint32_t v) {
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
      if (!sck_divider_valid(v8)) fail(addr, v8, "must be even and at least 8");
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

const RegInfo* Board::State::check(std::uint32_t addr, unsigned width, std::uint32_t value,
                                   const char* what) {
  const RegInfo* r = find_register(addr);
  if (r == nullptr || r->width != width) bad_access(r, addr, width, value, what);
  return r;
}

void Board::State::bad_access(const RegInfo* r, std::uint32_t addr, unsigned width,
                              std::uint32_t value, const char* what) {
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
}

void Board::State::abort_feed(std::uint32_t addr) {
  feed_armed = false;
  const RegInfo* r = find_register(addr);
  fail(L::PLLFEED.addr, L::PLLFEED_FIRST,
       std::string("feed aborted by an access to ") + (r ? r->name : hex(addr, 8).c_str()) +
           " between 0xAA and 0x55");
}

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

unsigned Board::register_width(std::uint32_t addr) {
  const RegInfo* r = find_register(addr);
  return r ? r->width : 0;
}

bool Board::is_peripheral(std::uint32_t addr) {
  return L::in_region(addr, L::FIO_BASE, L::FIO_SIZE) ||
         L::in_region(addr, L::APB_BASE, L::APB_SIZE) ||
         L::in_region(addr, L::VIC_BASE, L::VIC_SIZE);
}

void Board::request_stop() {
  s_->stop_requested.store(true, std::memory_order_relaxed);
}
bool Board::stop_requested() const {
  return s_->stop_requested.load(std::memory_order_relaxed);
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
std::optional<std::uint64_t> Board::transfer_done_at() const {
  if (!s_->clocked || !s_->spi_busy) return std::nullopt;
  return s_->cclk_when(s_->spi_done_at);
}
std::optional<std::uint64_t> Board::conversion_done_at() const {
  if (!s_->clocked || !s_->adc_busy) return std::nullopt;
  return s_->cclk_when(s_->adc_done_at);
}
std::uint64_t Board::conversions() const {
  return s_->conversions;
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
  s_->wire_sinks.push_back(&sink);
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
void Board::locate_findings(std::size_t first, const std::string& code) {
  auto& all = s_->findings;
  for (std::size_t i = first; i < all.size(); ++i) all[i].message += " (code at " + code + ")";
}

}  // namespace sim
