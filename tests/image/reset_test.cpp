// The image's own start-up code and exception stubs, run on an emulated ARM core: from the
// reset vector to main, and from each exception vector back to the interrupted code.
#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "image/elf_file.h"

namespace test {
namespace {

constexpr std::uint32_t kFlashSize = 512 * 1024;
constexpr std::uint32_t kRamBase = 0x40000000;
constexpr std::uint32_t kRamSize = 32 * 1024;
constexpr std::uint8_t kRamFill = 0xA5;  // what RAM holds before reset, so writes show

// Processor modes (CPSR bits 4-0) and the interrupt masks.
constexpr std::uint32_t kUsr = 0x10, kFiq = 0x11, kIrq = 0x12, kSvc = 0x13, kAbt = 0x17,
                        kUnd = 0x1B, kSys = 0x1F;
constexpr std::uint32_t kModeMask = 0x1F;
constexpr std::uint32_t kIrqFiqMasked = 0xC0;

const ElfFile& image() {
  return built_image();
}

class Core {
 public:
  Core() {
    EXPECT_EQ(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_), UC_ERR_OK);
    uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_926);  // ARMv5, a superset of the ARM7's ARMv4T
    uc_mem_map(uc_, 0, kFlashSize, UC_PROT_READ | UC_PROT_EXEC);  // a write to flash faults
    uc_mem_write(uc_, 0, image().flash().data(), image().flash().size());
    const std::vector<std::uint8_t> fill(kRamSize, kRamFill);
    uc_mem_map(uc_, kRamBase, kRamSize, UC_PROT_ALL);
    uc_mem_write(uc_, kRamBase, fill.data(), fill.size());
    uc_hook_add(uc_, &code_hook_, UC_HOOK_CODE, reinterpret_cast<void*>(&on_code), this, 1, 0);
    uc_hook_add(uc_, &write_hook_, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&on_write), this, 1,
                0);
  }
  ~Core() { uc_close(uc_); }
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  std::uint32_t reg(int r) const {
    std::uint32_t v = 0;
    uc_reg_read(uc_, r, &v);
    return v;
  }
  void set_reg(int r, std::uint32_t v) { uc_reg_write(uc_, r, &v); }
  // Writing CPSR switches the banked registers, as a mode change on the core does.
  void set_mode(std::uint32_t mode) { set_reg(UC_ARM_REG_CPSR, kIrqFiqMasked | mode); }
  std::uint32_t mode() const { return reg(UC_ARM_REG_CPSR) & kModeMask; }
  std::uint32_t banked_sp(std::uint32_t m) {
    const std::uint32_t saved = reg(UC_ARM_REG_CPSR);
    set_mode(m);
    const std::uint32_t sp = reg(UC_ARM_REG_SP);
    set_reg(UC_ARM_REG_CPSR, saved);
    return sp;
  }
  std::uint32_t word(std::uint32_t addr) const {
    std::uint32_t w = 0;
    uc_mem_read(uc_, addr, &w, sizeof w);
    return w;
  }
  void set_word(std::uint32_t addr, std::uint32_t w) { uc_mem_write(uc_, addr, &w, sizeof w); }
  std::vector<std::uint8_t> bytes(std::uint32_t addr, std::uint32_t n) const {
    std::vector<std::uint8_t> b(n);
    uc_mem_read(uc_, addr, b.data(), n);
    return b;
  }

  uc_err run(std::uint32_t from, std::uint32_t until) {
    return uc_emu_start(uc_, from, until, 0, kInstructionLimit);
  }

  std::vector<std::uint32_t> modes_entered;  // each mode as execution enters it
  std::vector<std::uint32_t> executed;       // addresses, in order
  std::vector<std::uint32_t> writes;         // addresses written

 private:
  static constexpr std::size_t kInstructionLimit = 100000;

  static void on_code(uc_engine*, std::uint64_t addr, std::uint32_t, void* self) {
    auto& core = *static_cast<Core*>(self);
    core.executed.push_back(static_cast<std::uint32_t>(addr));
    const std::uint32_t m = core.mode();
    if (core.modes_entered.empty() || core.modes_entered.back() != m) {
      core.modes_entered.push_back(m);
    }
  }
  static void on_write(uc_engine*, uc_mem_type, std::uint64_t addr, int, std::int64_t, void* self) {
    static_cast<Core*>(self)->writes.push_back(static_cast<std::uint32_t>(addr));
  }

  uc_engine* uc_ = nullptr;
  uc_hook code_hook_ = 0;
  uc_hook write_hook_ = 0;
};

class Reset : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kSentinelLr = 0xC0DE0004;

  void SetUp() override {
    // System mode shares user mode's link register; mark it to see whether main is called.
    core.set_mode(kSys);
    core.set_reg(UC_ARM_REG_LR, kSentinelLr);
    core.set_mode(kSvc);  // the core comes out of reset in supervisor mode, masked
    ASSERT_EQ(core.run(0, address_of("main")), UC_ERR_OK);
    ASSERT_EQ(core.reg(UC_ARM_REG_PC), address_of("main"));
  }

  Core core;
};

TEST_F(Reset, VisitsEachModeOnceInOrderAndEntersMainInSystemMode) {
  EXPECT_EQ(core.modes_entered,
            (std::vector<std::uint32_t>{kSvc, kUnd, kAbt, kFiq, kIrq, kSvc, kSys}));
  EXPECT_EQ(core.reg(UC_ARM_REG_CPSR) & 0xFF, kIrqFiqMasked | kSys);
  // A jump: a call would have left a return address in the link register.
  EXPECT_EQ(core.reg(UC_ARM_REG_LR), kSentinelLr);
}

TEST_F(Reset, GivesEachModeItsStackCarvedDownFromTheTop) {
  const std::map<std::uint32_t, std::uint32_t> tops = {{kUnd, 0x40001FDC}, {kAbt, 0x40001FD8},
                                                       {kFiq, 0x40001FD4}, {kIrq, 0x40001FD0},
                                                       {kSvc, 0x40001FCC}, {kSys, 0x40001FC8}};
  for (const auto& [mode, top] : tops) {
    EXPECT_EQ(core.banked_sp(mode), top) << "mode 0x" << std::hex << mode;
  }
  EXPECT_EQ(core.banked_sp(kUsr), 0x40001FC8u);  // user and system share one stack pointer
}

TEST_F(Reset, CopiesInitialisedDataAndZeroesTheRest) {
  EXPECT_EQ(core.word(0x40000120), 400u);  // txtwidth
  EXPECT_EQ(core.word(0x40000124), 102u);  // height
  EXPECT_EQ(core.word(0x40000128), 150u);  // width
  const auto bss = core.bytes(0x4000012C, 0x40001CD4 - 0x4000012C);
  EXPECT_EQ(bss, std::vector<std::uint8_t>(bss.size(), 0));
}

TEST_F(Reset, WritesNothingOutsideDataAndBss) {
  for (std::uint32_t a : core.writes) {
    EXPECT_TRUE(a >= 0x40000120 && a < 0x40001CD4) << "write to 0x" << std::hex << a;
  }
  const auto below = core.bytes(kRamBase, 0x120);
  EXPECT_EQ(below, std::vector<std::uint8_t>(below.size(), kRamFill));
  const auto above = core.bytes(0x40001CD4, kRamBase + kRamSize - 0x40001CD4);
  EXPECT_EQ(above, std::vector<std::uint8_t>(above.size(), kRamFill));
}

// An exception entered as the core enters it: mode switched with interrupts masked, the old
// CPSR in SPSR, the return address in the mode's link register, the PC at the vector.
constexpr std::uint32_t kStubItself = 0xFFFFFFFF;

struct Exception {
  const char* what;
  std::uint32_t vector;  // where execution starts: a vector slot, or kStubItself
  std::uint32_t mode;
  const char* handler;
  unsigned instructions;  // the slot's load, if taken through a slot, and the stub's return
};

void PrintTo(const Exception& e, std::ostream* os) {
  *os << e.what;
}

class ExceptionStub : public ::testing::TestWithParam<Exception> {};

TEST_P(ExceptionStub, ReturnsAtOnceToTheLinkRegisterInTheInterruptedMode) {
  const Exception& e = GetParam();
  Core core;
  constexpr std::uint32_t kResume = 0x40000400;           // holds a branch to itself
  constexpr std::uint32_t kInterruptedCpsr = 0x600000DF;  // flags Z and C, System mode, masked
  core.set_word(kResume, 0xEAFFFFFE);
  core.set_mode(kSys);
  for (int r = 0; r <= 12; ++r) core.set_reg(UC_ARM_REG_R0 + r, 0x1000 + r);
  core.set_mode(e.mode);
  core.set_reg(UC_ARM_REG_SPSR, kInterruptedCpsr);
  core.set_reg(UC_ARM_REG_LR, kResume);
  core.writes.clear();

  const std::uint32_t start = e.vector == kStubItself ? address_of(e.handler) : e.vector;
  ASSERT_EQ(core.run(start, kResume), UC_ERR_OK) << e.what;
  EXPECT_EQ(core.reg(UC_ARM_REG_PC), kResume) << e.what;
  EXPECT_EQ(core.reg(UC_ARM_REG_CPSR), kInterruptedCpsr) << e.what;
  ASSERT_EQ(core.executed.size(), e.instructions) << e.what;
  EXPECT_EQ(core.executed.back(), address_of(e.handler)) << e.what;
  for (int r = 0; r <= 12; ++r) EXPECT_EQ(core.reg(UC_ARM_REG_R0 + r), 0x1000u + r) << e.what;
  EXPECT_TRUE(core.writes.empty()) << e.what;
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, ExceptionStub,
    ::testing::Values(Exception{"undefined", 0x04, kUnd, "UNDEF_Routine", 2},
                      Exception{"swi", 0x08, kSvc, "SWI_Routine", 2},
                      Exception{"prefetch abort", 0x0C, kAbt, "UNDEF_Routine", 2},
                      Exception{"data abort", 0x10, kAbt, "UNDEF_Routine", 2},
                      Exception{"fiq", 0x1C, kFiq, "FIQ_Routine", 2},
                      // The IRQ slot goes through the VIC; this enters the stub directly.
                      Exception{"irq", kStubItself, kIrq, "IRQ_Routine", 1}),
    [](const ::testing::TestParamInfo<Exception>& param) {
      std::string name = param.param.what;
      for (char& c : name) c = c == ' ' ? '_' : c;
      return name;
    });

}  // namespace
}  // namespace test
