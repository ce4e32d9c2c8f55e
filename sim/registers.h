// A peripheral's registers, each declared once in its table: name, address and width (from
// hw/lpc2138.h), access, reset value, writable bits and the side effects of reading and writing
// it. The board dispatches every access through these tables; reset() comes from them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "hw/lpc2138.h"
#include "sim/board.h"

namespace sim {

namespace chip = lpc2138;

constexpr std::uint32_t width_mask(unsigned width) {
  return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
}

enum class Access : std::uint8_t {
  ReadOnly,         // a write is a finding and changes nothing
  WriteOnly,        // a read is a finding and gives 0
  ReadWrite,        // a write stores its writable bits
  WriteOneToClear,  // a write clears the writable bits it sets
};

class Peripheral;

struct Register {
  // The value a read gives, from the stored one; may act, as reading a status register does.
  using Read = std::uint32_t (Peripheral::*)(const Register&, std::uint32_t stored);
  // Before the store: checks the written value and gives what is to be stored.
  using PreWrite = std::uint32_t (Peripheral::*)(const Register&, std::uint32_t value);
  // After the store: what the written value sets going.
  using PostWrite = void (Peripheral::*)(const Register&, std::uint32_t value);

  const char* name;  // in findings
  std::uint32_t addr;
  unsigned width;
  Access access;
  std::uint32_t reset;
  std::uint32_t writable;
  Read on_read = nullptr;
  PreWrite pre_write = nullptr;
  PostWrite post_write = nullptr;
};

// A table entry for r with the register's own identifier as its name.
#define LPCDEMO_REGISTER(r) #r, chip::r.addr, decltype(chip::r)::width

// A peripheral's side effect as a table entry. (Not constexpr: GCC does not take a member
// function pointer's conversion to its base class as a constant expression, so the tables
// are initialised when the program starts.)
template <typename P>
Register::Read reads(std::uint32_t (P::*f)(const Register&, std::uint32_t)) {
  return static_cast<Register::Read>(f);
}
template <typename P>
Register::PreWrite checks(std::uint32_t (P::*f)(const Register&, std::uint32_t)) {
  return static_cast<Register::PreWrite>(f);
}
template <typename P>
Register::PostWrite then(void (P::*f)(const Register&, std::uint32_t)) {
  return static_cast<Register::PostWrite>(f);
}

// The board's findings: at most Board::kMaxFindings, then one line saying more were dropped.
class Findings {
 public:
  void add(Finding f);
  // "NAME 0xVALUE: message", the value in the register's width.
  void fail(const Register& r, std::uint32_t value, const std::string& message);
  // For faults that would otherwise repeat on every word or sample.
  void fail_once(const std::string& key, const Register& r, std::uint32_t value,
                 const std::string& message);
  // True the first time key is asked for.
  bool first(const std::string& key) { return reported_once_.insert(key).second; }
  std::vector<Finding>& list() { return list_; }
  const std::vector<Finding>& list() const { return list_; }

 private:
  std::vector<Finding> list_;
  std::set<std::string> reported_once_;
  std::size_t suppressed_ = 0;
};

class Peripheral {
 public:
  static constexpr std::size_t kMaxRegisters = 16;

  Peripheral(std::span<const Register> table, Findings& findings)
      : findings_(findings), table_(table) {
    if (table.size() > kMaxRegisters) throw std::logic_error("a register table past its storage");
  }
  virtual ~Peripheral() = default;
  Peripheral(const Peripheral&) = delete;
  Peripheral& operator=(const Peripheral&) = delete;

  std::span<const Register> table() const { return table_; }

  // Accesses register i of the table, its width already checked by the board.
  std::uint32_t read(std::size_t i) {
    const Register& r = table_[i];
    if (r.access == Access::WriteOnly) {
      findings_.fail(r, 0, "write-only register read");
      return 0;
    }
    return r.on_read ? (this->*r.on_read)(r, values_[i]) : values_[i];
  }
  void write(std::size_t i, std::uint32_t value) {
    const Register& r = table_[i];
    if (r.access == Access::ReadOnly) {
      findings_.fail(r, value, "read-only register written");
      return;
    }
    const std::uint32_t v = r.pre_write ? (this->*r.pre_write)(r, value) : value;
    std::uint32_t& stored = values_[i];
    if (r.access == Access::WriteOneToClear) {
      stored &= ~(v & r.writable);
    } else {
      stored = (stored & ~r.writable) | (v & r.writable);
    }
    if (r.post_write) (this->*r.post_write)(r, value);
  }

  // Every register to its reset value, and whatever else the peripheral holds to its state
  // at reset.
  void reset() {
    for (std::size_t i = 0; i < table_.size(); ++i) values_[i] = table_[i].reset;
    reset_state();
  }

 protected:
  virtual void reset_state() {}

  std::uint32_t reg(std::size_t i) const { return values_[i]; }
  void set_reg(std::size_t i, std::uint32_t v) { values_[i] = v; }
  void fail(std::size_t i, std::uint32_t value, const std::string& message) {
    findings_.fail(table_[i], value, message);
  }
  void fail_once(const std::string& key, std::size_t i, std::uint32_t value,
                 const std::string& message) {
    findings_.fail_once(key, table_[i], value, message);
  }

  Findings& findings_;

 private:
  std::span<const Register> table_;
  std::array<std::uint32_t, kMaxRegisters> values_{};
};

// Every access looks its register up, so the lookup is a hash table probed from one slot: the
// word address folded with two higher bit fields, which sets most registers apart at once.
constexpr std::size_t kSlots = 128;

constexpr std::size_t slot_of(std::uint32_t addr) {
  constexpr unsigned kWordShift = 2, kPageShift = 8, kBlockShift = 15;
  return ((addr >> kWordShift) ^ (addr >> kPageShift) ^ (addr >> kBlockShift)) % kSlots;
}

struct Slot {
  const Register* reg = nullptr;
  Peripheral* owner = nullptr;
  std::uint8_t index = 0;  // in the owner's table
};

class RegisterMap {
 public:
  void add(std::span<const Register> table, Peripheral* owner) {
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (++used_ == kSlots) throw std::logic_error("more registers than lookup slots");
      std::size_t at = slot_of(table[i].addr);
      for (; slots_[at].reg != nullptr; at = (at + 1) % kSlots) {
        if (slots_[at].reg->addr == table[i].addr) {
          throw std::logic_error(std::string(table[i].name) + " and " + slots_[at].reg->name +
                                 " share an address");
        }
      }
      slots_[at] = {&table[i], owner, static_cast<std::uint8_t>(i)};
    }
  }
  // Registers that share a slot follow it; an empty slot ends the search.
  const Slot* find(std::uint32_t addr) const {
    for (std::size_t at = slot_of(addr);; at = (at + 1) % kSlots) {
      const Slot& slot = slots_[at];
      if (slot.reg == nullptr) return nullptr;
      if (slot.reg->addr == addr) return &slot;
    }
  }

 private:
  std::array<Slot, kSlots> slots_{};
  std::size_t used_ = 0;
};

}  // namespace sim
