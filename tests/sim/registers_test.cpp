// The register table's own rules, on a peripheral made for the purpose: each access kind,
// writable masks, the side effects' order, and reset().
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registers.h"

namespace {

class Probe : public sim::Peripheral {
 public:
  enum : std::size_t { kRo, kWo, kRw, kW1c, kHooked };
  static const sim::Register kRegisters[kHooked + 1];

  explicit Probe(sim::Findings& f) : Peripheral(kRegisters, f) { reset(); }
  using Peripheral::reg;
  std::vector<std::string> log;
  int resets = 0;

 private:
  void reset_state() override { ++resets; }
  std::uint32_t on_read(const sim::Register& r, std::uint32_t stored) {
    log.push_back(std::string("read ") + r.name + " " + std::to_string(stored));
    return stored + 1;
  }
  std::uint32_t pre(const sim::Register& r, std::uint32_t v) {
    log.push_back(std::string("pre ") + r.name + " " + std::to_string(v) + " over " +
                  std::to_string(reg(kHooked)));
    return v * 2;
  }
  void post(const sim::Register& r, std::uint32_t v) {
    log.push_back(std::string("post ") + r.name + " " + std::to_string(v) + " now " +
                  std::to_string(reg(kHooked)));
  }
};

const sim::Register Probe::kRegisters[] = {
    {"RO", 0x100, 32, sim::Access::ReadOnly, 0x11, 0xFF},
    {"WO", 0x104, 8, sim::Access::WriteOnly, 0x22, 0xFF},
    {"RW", 0x108, 32, sim::Access::ReadWrite, 0xA5A5, 0x0FF0},
    {"W1C", 0x10C, 16, sim::Access::WriteOneToClear, 0x00F3, 0x00F0},
    {"HOOKED", 0x110, 32, sim::Access::ReadWrite, 7, 0xFFFFFFFF, sim::reads(&Probe::on_read),
     sim::checks(&Probe::pre), sim::then(&Probe::post)},
};

TEST(RegisterTable, EachAccessKindKeepsItsRules) {
  sim::Findings findings;
  Probe p(findings);
  // Read-only: the write is a finding in the register's width and changes nothing.
  p.write(Probe::kRo, 0x3C);
  EXPECT_EQ(p.read(Probe::kRo), 0x11u);
  // Write-only: the read is a finding and gives 0, whatever is stored.
  EXPECT_EQ(p.read(Probe::kWo), 0u);
  // Read-write: only the writable bits change.
  p.write(Probe::kRw, 0xFFFF0000);
  EXPECT_EQ(p.read(Probe::kRw), 0xA005u);
  p.write(Probe::kRw, 0x0000FFFF);
  EXPECT_EQ(p.read(Probe::kRw), 0xAFF5u);
  // Write-one-to-clear: a one clears a writable bit, a zero leaves it, the rest stay.
  p.write(Probe::kW1c, 0x0000);
  EXPECT_EQ(p.read(Probe::kW1c), 0x00F3u);
  p.write(Probe::kW1c, 0x0033);
  EXPECT_EQ(p.read(Probe::kW1c), 0x00C3u);
  p.write(Probe::kW1c, 0x00FF);
  EXPECT_EQ(p.read(Probe::kW1c), 0x0003u);
  ASSERT_EQ(findings.list().size(), 2u);
  EXPECT_EQ(findings.list()[0].message, "RO 0x0000003C: read-only register written");
  EXPECT_EQ(findings.list()[0].address, 0x100u);
  EXPECT_EQ(findings.list()[1].message, "WO 0x00: write-only register read");
}

TEST(RegisterTable, SideEffectsRunAroundTheStoreInOrder) {
  sim::Findings findings;
  Probe p(findings);
  p.write(Probe::kHooked, 5);  // stored as the check made it: 10
  EXPECT_EQ(p.read(Probe::kHooked), 11u);
  EXPECT_EQ(p.log, (std::vector<std::string>{"pre HOOKED 5 over 7", "post HOOKED 5 now 10",
                                             "read HOOKED 10"}));
  EXPECT_TRUE(findings.list().empty());
}

TEST(RegisterTable, ResetRestoresEveryValueAndTheRest) {
  sim::Findings findings;
  Probe p(findings);
  for (std::size_t i = 0; i <= Probe::kHooked; ++i) p.write(i, 0xFFFFFFFF);
  p.write(Probe::kW1c, 0xFFFF);
  ASSERT_NE(p.reg(Probe::kRw), 0xA5A5u);
  const int resets = p.resets;
  p.reset();
  EXPECT_EQ(p.resets, resets + 1);
  const std::uint32_t expected[] = {0x11, 0x22, 0xA5A5, 0x00F3, 7};
  for (std::size_t i = 0; i <= Probe::kHooked; ++i) EXPECT_EQ(p.reg(i), expected[i]) << i;
}

// 0x100, 0x308 and 0x510 fold to one slot, 0x10C to the next: registers that collide are
// found further on, and a miss stops at the first empty slot.
TEST(RegisterMap, CollidingAddressesAreAllFound) {
  const sim::Register table[] = {
      {"A", 0x100, 32, sim::Access::ReadWrite, 0, 0},
      {"B", 0x308, 32, sim::Access::ReadWrite, 0, 0},
      {"C", 0x10C, 32, sim::Access::ReadWrite, 0, 0},
  };
  ASSERT_EQ(sim::slot_of(0x100), sim::slot_of(0x308));
  ASSERT_EQ(sim::slot_of(0x100), sim::slot_of(0x510));
  ASSERT_EQ(sim::slot_of(0x10C), sim::slot_of(0x100) + 1);
  sim::RegisterMap map;
  map.add(table, nullptr);
  for (const sim::Register& r : table) {
    const sim::Slot* s = map.find(r.addr);
    ASSERT_NE(s, nullptr) << r.name;
    EXPECT_EQ(s->reg, &r);
    EXPECT_EQ(s->index, &r - table);
  }
  EXPECT_EQ(map.find(0x510), nullptr);
  EXPECT_EQ(map.find(0x102), nullptr);
  const sim::Register again[] = {{"A2", 0x100, 8, sim::Access::ReadWrite, 0, 0}};
  EXPECT_THROW(map.add(again, nullptr), std::logic_error);
}

}  // namespace
