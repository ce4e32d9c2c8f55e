// Cycle counts of single instructions against the ARM7TDMI timing table (S = N = I = 1 clock).
#include "emu/arm_timing.h"

#include <gtest/gtest.h>

namespace emu::arm {
namespace {

struct Case {
  const char* text;
  std::uint32_t insn;
  unsigned cycles;
};

TEST(ArmTiming, CyclesFollowTheTable) {
  const Case cases[] = {
      {"add r0, r1, r2", 0xE0810002, 1},          // 1S
      {"add r0, r1, r2, lsl r3", 0xE0810312, 2},  // +1I for the register shift
      {"add r0, r1, #4", 0xE2810004, 1},          // immediate operand
      {"and r2, r2, #0xf0", 0xE20220F0, 1},       // bit 4 is the immediate's, no shift by reg
      {"cmp r3, #0x1f", 0xE353001F, 1},           //
      {"cmp r0, #3", 0xE3500003, 1},              // compare: writes no register
      {"mov pc, lr", 0xE1A0F00E, 3},              // +1S+1N
      {"ldr r0, [r1]", 0xE5910000, 3},            // 1S+1N+1I
      {"ldrb r3, [r2, #4]", 0xE5D23004, 3},       //
      {"ldrh r0, [r1]", 0xE1D100B0, 3},           //
      {"ldr pc, [sp], #4", 0xE49DF004, 5},        // +1S+1N
      {"str r0, [r1]", 0xE5810000, 2},            // 2N
      {"strh r3, [r2, #8]", 0xE1C230B8, 2},       //
      {"ldmfd sp!, {r4-r6, pc}", 0xE8BD8070, 8},  // 4S+1N+1I +1S+1N
      {"ldmia r0, {r1, r2}", 0xE8900006, 4},      // 2S+1N+1I
      {"stmfd sp!, {r4, lr}", 0xE92D4010, 3},     // 1S+2N
      {"stmia r0, {r1-r8}", 0xE88001FE, 9},       // 7S+2N
      {"b .", 0xEAFFFFFE, 3},                     // 2S+1N
      {"bl +0x100", 0xEB00003E, 3},               //
      {"bx lr", 0xE12FFF1E, 3},                   //
      {"swp r0, r1, [r2]", 0xE1020091, 4},        // 1S+2N+1I
      {"swi 0", 0xEF000000, 3},                   // 2S+1N
      {"mul r2, r1, r0", 0xE0020091, 1},          // 1S, + m I apart
      {"mla r0, r1, r2, r3", 0xE0203291, 2},      // 1S+1I, + m I apart
      {"smull r0, r1, r2, r3", 0xE0C10392, 2},    // 1S+1I, + m I apart
      {"umlal r0, r1, r2, r3", 0xE0A10392, 3},    // 1S+2I, + m I apart
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode(c.insn, 0).cycles, c.cycles) << c.text;
  }
}

TEST(ArmTiming, DecodesWhatTheCostDependsOn) {
  const Timing movne = decode(0x13A02080, 0);  // movne r2, #128
  EXPECT_EQ(movne.cond, 0x1u);
  EXPECT_FALSE(movne.sets_flags);
  EXPECT_EQ(movne.writes, 1u << 2);

  EXPECT_TRUE(decode(0xE3130080, 0).sets_flags);                      // tst r3, #128
  EXPECT_TRUE(decode(0xE2500001, 0).sets_flags);                      // subs r0, r0, #1
  EXPECT_FALSE(decode(0xE2400001, 0).sets_flags);                     // sub r0, r0, #1
  for (const std::uint32_t compare : {0xE3130080u,                    // tst r3, #128
                                      0xE3330001u,                    // teq r3, #1
                                      0xE3500003u,                    // cmp r0, #3
                                      0xE3730000u}) {                 // cmn r3, #0
    EXPECT_EQ(decode(compare, 0).writes, 0u) << std::hex << compare;  // flags only
    EXPECT_TRUE(decode(compare, 0).sets_flags) << std::hex << compare;
  }

  const Timing mul = decode(0xE0020091, 0);  // mul r2, r1, r0
  EXPECT_EQ(mul.multiply, Multiply::Signed);
  EXPECT_EQ(mul.rs, 0);
  EXPECT_EQ(mul.writes, 1u << 2);
  const Timing umull = decode(0xE0810392, 0);  // umull r0, r1, r2, r3
  EXPECT_EQ(umull.multiply, Multiply::UnsignedLong);
  EXPECT_EQ(umull.rs, 3);
  EXPECT_EQ(umull.writes, (1u << 0) | (1u << 1));

  EXPECT_EQ(decode(0xE92D4010, 0).writes, 1u << kSp);                  // push writes sp only
  EXPECT_EQ(decode(0xE8BD8070, 0).writes, 0x8070u | (1u << kSp));      // pop
  EXPECT_EQ(decode(0xEB00003E, 0).writes, (1u << kPc) | (1u << kLr));  // bl

  EXPECT_TRUE(decode(0xEAFFFFFE, 0).halt);
  EXPECT_FALSE(decode(0x0AFFFFFE, 0).halt);  // beq . falls through when Z is clear
  EXPECT_FALSE(decode(0xEAFFFFFD, 0).halt);

  EXPECT_TRUE(decode(0xE321F0DF, 0).changes_mode);   // msr cpsr_c, #0xDF
  EXPECT_FALSE(decode(0xE328F000, 0).changes_mode);  // msr cpsr_f, #0
  EXPECT_TRUE(decode(0xE328F000, 0).sets_flags);
}

TEST(ArmTiming, LiteralLoadsKnowTheirAddress) {
  const Timing up = decode(0xE59F1028, 0x100);  // ldr r1, [pc, #40]
  EXPECT_TRUE(up.literal);
  EXPECT_EQ(up.literal_addr, 0x100u + 8 + 40);
  const Timing down = decode(0xE51F1010, 0x100);  // ldr r1, [pc, #-16]
  EXPECT_TRUE(down.literal);
  EXPECT_EQ(down.literal_addr, 0x100u + 8 - 16);
  EXPECT_FALSE(decode(0xE5910000, 0x100).literal);  // ldr r0, [r1]
}

TEST(ArmTiming, MultiplierTerminatesEarly) {
  EXPECT_EQ(multiplier_cycles(0x0000007F, Multiply::Signed), 1u);
  EXPECT_EQ(multiplier_cycles(0xFFFFFF80, Multiply::Signed), 1u);  // all ones above bit 7
  EXPECT_EQ(multiplier_cycles(0xFFFFFF80, Multiply::UnsignedLong), 4u);
  EXPECT_EQ(multiplier_cycles(0x00000100, Multiply::Signed), 2u);
  EXPECT_EQ(multiplier_cycles(0xFFFF8000, Multiply::Signed), 2u);
  EXPECT_EQ(multiplier_cycles(0x0000FFFF, Multiply::UnsignedLong), 2u);
  EXPECT_EQ(multiplier_cycles(0x00FFFFFF, Multiply::Signed), 3u);
  EXPECT_EQ(multiplier_cycles(0x01000000, Multiply::Signed), 4u);
  EXPECT_EQ(multiplier_cycles(0x80000000, Multiply::Signed), 4u);
}

TEST(ArmTiming, ConditionsReadTheFlags) {
  constexpr std::uint32_t N = 1u << 31, Z = 1u << 30, C = 1u << 29, V = 1u << 28;
  EXPECT_TRUE(condition_passed(0x0, Z));       // EQ
  EXPECT_FALSE(condition_passed(0x1, Z));      // NE
  EXPECT_TRUE(condition_passed(0xA, N | V));   // GE: N == V
  EXPECT_TRUE(condition_passed(0xB, N));       // LT: N != V
  EXPECT_FALSE(condition_passed(0xA, V));      // GE
  EXPECT_TRUE(condition_passed(0x8, C));       // HI: C and not Z
  EXPECT_FALSE(condition_passed(0x8, C | Z));  // HI
  EXPECT_TRUE(condition_passed(0x9, C | Z));   // LS
  EXPECT_FALSE(condition_passed(0xC, Z));      // GT
  EXPECT_TRUE(condition_passed(0xD, N));       // LE
  EXPECT_TRUE(condition_passed(0xE, 0));       // AL
  EXPECT_FALSE(condition_passed(0xF, N | Z | C | V));
}

// Each condition over the sixteen settings of N, Z, C and V: bit i of `passes` is whether it
// executes with NZCV = i (N = 8, Z = 4, C = 2, V = 1), worked out from the condition's
// definition in the core's manual. The other CPSR bits (mode, masks) must not matter.
TEST(ArmTiming, EveryConditionOverEveryFlagSet) {
  struct Condition {
    const char* name;
    std::uint32_t cond;
    std::uint16_t passes;
  };
  const Condition conditions[] = {
      {"EQ: Z", 0x0, 0xF0F0},
      {"NE: !Z", 0x1, 0x0F0F},
      {"CS: C", 0x2, 0xCCCC},
      {"CC: !C", 0x3, 0x3333},
      {"MI: N", 0x4, 0xFF00},
      {"PL: !N", 0x5, 0x00FF},
      {"VS: V", 0x6, 0xAAAA},
      {"VC: !V", 0x7, 0x5555},
      {"HI: C && !Z", 0x8, 0x0C0C},
      {"LS: !C || Z", 0x9, 0xF3F3},
      {"GE: N == V", 0xA, 0xAA55},
      {"LT: N != V", 0xB, 0x55AA},
      {"GT: !Z && N == V", 0xC, 0x0A05},
      {"LE: Z || N != V", 0xD, 0xF5FA},
      {"AL", 0xE, 0xFFFF},
      {"NV: never on ARMv4", 0xF, 0x0000},
  };
  constexpr std::uint32_t kSystemModeMasked = 0xDF;
  for (const Condition& c : conditions) {
    for (std::uint32_t nzcv = 0; nzcv < 16; ++nzcv) {
      const bool expected = (c.passes >> nzcv) & 1u;
      EXPECT_EQ(condition_passed(c.cond, nzcv << 28), expected) << c.name << ", NZCV " << nzcv;
      EXPECT_EQ(condition_passed(c.cond, nzcv << 28 | kSystemModeMasked), expected)
          << c.name << ", NZCV " << nzcv << " in System mode";
    }
  }
}

// Loads and stores that write their base back (post-indexed always, pre-indexed with !) write
// it as well as their data register: a multiply or a stack check after them reads the new value.
TEST(ArmTiming, WriteBackWritesTheBaseRegister) {
  struct Transfer {
    const char* text;
    std::uint32_t insn;
    std::uint16_t writes;
    unsigned cycles;
  };
  constexpr std::uint16_t r0 = 1u << 0, r1 = 1u << 1, r2 = 1u << 2, sp = 1u << kSp, pc = 1u << kPc;
  const Transfer cases[] = {
      {"ldr r0, [r1], #4", 0xE4910004, r0 | r1, 3},    // post-indexed: 1S+1N+1I
      {"ldr r0, [r1, #4]!", 0xE5B10004, r0 | r1, 3},   // pre-indexed, written back
      {"ldr r0, [r1, #4]", 0xE5910004, r0, 3},         // pre-indexed, base kept
      {"ldr r0, [r1], -r2", 0xE6110002, r0 | r1, 3},   // post-indexed by a register
      {"ldrb r0, [r1], #1", 0xE4D10001, r0 | r1, 3},   //
      {"ldrh r0, [r1], #2", 0xE0D100B2, r0 | r1, 3},   // halfword, post-indexed
      {"ldrsb r0, [r1], #1", 0xE0D100D1, r0 | r1, 3},  //
      {"str r0, [r1], #4", 0xE4810004, r1, 2},         // 2N; the data register is read only
      {"str r0, [r1, #-4]!", 0xE5210004, r1, 2},       //
      {"str r0, [r1, #4]", 0xE5810004, 0, 2},          //
      {"strh r0, [r1, #2]!", 0xE1E100B2, r1, 2},       //
      {"ldr pc, [sp], #4", 0xE49DF004, pc | sp, 5},    // +1S+1N for the pc
      {"ldmia r0!, {r1, r2}", 0xE8B00006, r0 | r1 | r2, 4},
      {"ldmia r0, {r1, r2}", 0xE8900006, r1 | r2, 4},
      {"stmia r0!, {r1, r2}", 0xE8A00006, r0, 3},
  };
  for (const Transfer& c : cases) {
    const Timing t = decode(c.insn, 0);
    EXPECT_EQ(t.writes, c.writes) << c.text;
    EXPECT_EQ(t.cycles, c.cycles) << c.text;
    EXPECT_TRUE(t.memory) << c.text;
    EXPECT_EQ(t.writes_pc, (c.writes & pc) != 0) << c.text;
  }
}

}  // namespace
}  // namespace emu::arm
