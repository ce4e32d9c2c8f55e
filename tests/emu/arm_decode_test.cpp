// The instruction decoder on words assembled by hand from the ARM7TDMI-S instruction set
// encodings, each field read back: a field off by a bit or a class confused shows here.
#include "emu/arm_decode.h"

#include <gtest/gtest.h>

#include <optional>

namespace emu::arm {
namespace {

// Registers as a transfer sees them: rn = 0x40000000 + n * 0x100.
struct Registers {
  std::uint32_t r[16];
  Registers() {
    for (unsigned n = 0; n < 16; ++n) r[n] = 0x40000000 + n * 0x100;
  }
};

struct Case {
  const char* text;
  std::uint32_t word;
  Instruction want;  // word and the fields that matter; the rest as decoded by default
  std::optional<std::uint32_t> address = std::nullopt;  // accessed at pc 0x100
};

Instruction fields(Class kind, std::uint8_t cond = kAlways) {
  Instruction i;
  i.kind = kind;
  i.cond = cond;
  return i;
}

std::vector<Case> cases() {
  std::vector<Case> c;
  auto add = [&](const char* text, std::uint32_t word, Instruction want,
                 std::optional<std::uint32_t> address = std::nullopt) {
    want.word = word;
    c.push_back({text, word, want, address});
  };
  Instruction i = fields(Class::HalfwordTransfer);
  // cond 000 P U 1 W L Rn Rd imm[7:4] 1 S H 1 imm[3:0]
  i.rn = 2, i.rd = 1, i.pre = true, i.writeback = true, i.load = true, i.size = 2;
  i.operand = Operand::Immediate, i.imm = 0x36;
  add("ldrh r1, [r2, #-0x36]!", 0xE17213B6, i, 0x40000200 - 0x36);

  i = fields(Class::HalfwordTransfer);
  i.rn = 6, i.rd = 5, i.rm = 7, i.pre = true, i.up = true, i.load = true, i.size = 1;
  i.sign = true, i.operand = Operand::Register;
  add("ldrsb r5, [r6, r7]", 0xE19650D7, i, 0x40000600u + 0x40000700u);

  i = fields(Class::HalfwordTransfer, 0x0);
  i.rn = 1, i.rd = 0, i.up = true, i.writeback = true, i.load = true, i.size = 2, i.sign = true;
  i.operand = Operand::Immediate, i.imm = 2;
  add("ldrshEQ r0, [r1], #2", 0x00D100F2, i, 0x40000100);  // post-indexed: the base

  i = fields(Class::SingleTransfer);
  // cond 01 I P U B W L Rn Rd shift(11:7) type 0 Rm
  i.rn = 4, i.rd = 3, i.rm = 5, i.writeback = true, i.size = 1;
  i.operand = Operand::Register, i.shift = Shift::Lsl, i.shift_amount = 2;
  add("strb r3, [r4], -r5, lsl #2", 0xE6443105, i, 0x40000400);

  i = fields(Class::SingleTransfer);
  i.rn = 1, i.rd = 0, i.rm = 2, i.pre = true, i.up = true, i.load = true, i.size = 4;
  i.operand = Operand::Register, i.shift = Shift::Ror, i.shift_amount = 4;
  add("ldr r0, [r1, r2, ror #4]", 0xE7910262, i, 0x40000100 + 0x04000020);

  i = fields(Class::SingleTransfer);
  i.rn = kPc, i.rd = 0, i.pre = true, i.load = true, i.size = 4;
  i.operand = Operand::Immediate, i.imm = 8;
  add("ldr r0, [pc, #-8]", 0xE51F0008, i, 0x100 + 8 - 8);

  i = fields(Class::BlockTransfer);
  i.rn = kSp, i.up = true, i.writeback = true, i.load = true, i.registers = 0x8FF0;
  add("ldmia sp!, {r4-r11, pc}", 0xE8BD8FF0, i);

  i = fields(Class::BlockTransfer);
  i.rn = 0, i.pre = true, i.user = true, i.registers = 0x0006;
  add("stmdb r0, {r1, r2}^", 0xE9400006, i);

  i = fields(Class::MultiplyLong);
  // cond 00001 U A S RdHi RdLo Rs 1001 Rm
  i.rd_hi = 1, i.rd = 0, i.rs = 3, i.rm = 2, i.sign = true;
  add("smull r0, r1, r2, r3", 0xE0C10392, i);

  i = fields(Class::MultiplyLong);
  i.rd_hi = 5, i.rd = 4, i.rs = 7, i.rm = 6, i.accumulate = true, i.set_flags = true;
  add("umlals r4, r5, r6, r7", 0xE0B54796, i);

  i = fields(Class::Multiply);
  i.rd = 0, i.rn = 3, i.rs = 2, i.rm = 1, i.accumulate = true;
  add("mla r0, r1, r2, r3", 0xE0203291, i);

  i = fields(Class::Swap);
  i.rn = 2, i.rd = 0, i.rm = 1, i.size = 1;
  add("swpb r0, r1, [r2]", 0xE1420091, i);

  i = fields(Class::StatusRead);
  i.rd = 0, i.spsr = true;
  add("mrs r0, spsr", 0xE14F0000, i);

  i = fields(Class::StatusWrite);
  i.fields = 0x1, i.operand = Operand::Register, i.rm = 0;
  add("msr cpsr_c, r0", 0xE121F000, i);

  i = fields(Class::StatusWrite);
  i.fields = 0x8, i.operand = Operand::Immediate, i.imm = 0xF0000000, i.rotate = 2;
  add("msr cpsr_f, #0xf0000000", 0xE328F20F, i);  // 0x0f ror 4

  i = fields(Class::DataProcessing);
  // cond 00 I opcode S Rn Rd Rs 0 type 1 Rm
  i.opcode = kOpSub, i.set_flags = true, i.rn = 2, i.rd = 1, i.rs = 4, i.rm = 3;
  i.operand = Operand::RegisterShift, i.shift = Shift::Asr;
  add("subs r1, r2, r3, asr r4", 0xE0521453, i);

  i = fields(Class::DataProcessing);
  i.opcode = kOpTst, i.set_flags = true, i.operand = Operand::Immediate, i.imm = 0x3F000;
  i.rotate = 10;
  add("tst r0, #0x3f000", 0xE3100A3F, i);

  i = fields(Class::DataProcessing);
  i.opcode = kOpMov, i.rd = kLr, i.rm = kPc, i.operand = Operand::Register;
  add("mov lr, pc", 0xE1A0E00F, i);

  i = fields(Class::Branch, 0x1);
  i.offset = -0x18;
  add("bne . - 0x10", 0x1AFFFFFA, i);

  i = fields(Class::Branch);
  i.link = true, i.offset = 0xF8;
  add("bl . + 0x100", 0xEB00003E, i);

  i = fields(Class::BranchExchange);
  i.rm = kLr;
  add("bx lr", 0xE12FFF1E, i);

  i = fields(Class::SoftwareInterrupt);
  i.imm = 0x123456;
  add("swi 0x123456", 0xEF123456, i);

  add("mcr p15, 0, r0, c1, c0, 0", 0xEE010F10, fields(Class::Coprocessor));
  add("ldc p1, c0, [r0]", 0xED900100, fields(Class::Coprocessor));
  add("undefined: class 011 with bit 4 set", 0xE7F000F0, fields(Class::Undefined));
  add("undefined: multiply space, bit 22 without 23", 0xE0400091, fields(Class::Undefined));
  add("undefined: swap space, bits 21..20 not 00", 0xE1200091, fields(Class::Undefined));
  return c;
}

TEST(ArmDecode, FieldsOfHandAssembledWords) {
  const Registers regs;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.text);
    const Instruction& w = c.want;
    const Instruction got = decode_instruction(c.word);
    EXPECT_EQ(got.word, w.word);
    EXPECT_EQ(static_cast<int>(got.kind), static_cast<int>(w.kind));
    EXPECT_EQ(got.cond, w.cond);
    EXPECT_EQ(got.rn, w.rn);
    EXPECT_EQ(got.rd, w.rd);
    EXPECT_EQ(got.rm, w.rm);
    EXPECT_EQ(got.rs, w.rs);
    EXPECT_EQ(got.rd_hi, w.rd_hi);
    EXPECT_EQ(got.opcode, w.opcode);
    EXPECT_EQ(got.set_flags, w.set_flags);
    EXPECT_EQ(got.accumulate, w.accumulate);
    EXPECT_EQ(got.sign, w.sign);
    EXPECT_EQ(got.load, w.load);
    EXPECT_EQ(got.pre, w.pre);
    EXPECT_EQ(got.up, w.up);
    EXPECT_EQ(got.writeback, w.writeback);
    EXPECT_EQ(got.size, w.size);
    EXPECT_EQ(got.registers, w.registers);
    EXPECT_EQ(got.user, w.user);
    EXPECT_EQ(static_cast<int>(got.operand), static_cast<int>(w.operand));
    EXPECT_EQ(got.imm, w.imm);
    EXPECT_EQ(got.rotate, w.rotate);
    EXPECT_EQ(static_cast<int>(got.shift), static_cast<int>(w.shift));
    EXPECT_EQ(got.shift_amount, w.shift_amount);
    EXPECT_EQ(got.link, w.link);
    EXPECT_EQ(got.offset, w.offset);
    EXPECT_EQ(got.spsr, w.spsr);
    EXPECT_EQ(got.fields, w.fields);
    EXPECT_EQ(transfer_address(got, 0x100, regs.r), c.address);
  }
}

TEST(ArmDecode, BranchTargetsAndConstantShifts) {
  // bne . - 0x10 at 0x1000; bl . + 0x100 at 0x1000.
  EXPECT_EQ(decode_instruction(0x1AFFFFFA).target(0x1000), 0x0FF0u);
  EXPECT_EQ(decode_instruction(0xEB00003E).target(0x1000), 0x1100u);
  // ldr r0, [r1, -r2, <shift>] with r2 = 0x80000010: LSR #32 and ASR #32 are encoded as #0.
  struct Shifted {
    const char* text;
    std::uint32_t word;
    std::uint32_t offset;
  } shifts[] = {
      {"lsl #0", 0xE7110002, 0x80000010}, {"lsr #32", 0xE7110022, 0},
      {"lsr #4", 0xE7110222, 0x08000001}, {"asr #32", 0xE7110042, 0xFFFFFFFF},
      {"asr #4", 0xE7110242, 0xF8000001}, {"ror #4", 0xE7110262, 0x08000001},
  };
  Registers regs;
  regs.r[2] = 0x80000010;
  for (const Shifted& s : shifts) {
    SCOPED_TRACE(s.text);
    const Instruction i = decode_instruction(s.word);
    EXPECT_EQ(shifted(i, regs.r[2]), s.offset);
    EXPECT_EQ(transfer_address(i, 0, regs.r), 0x40000100 - s.offset);
  }
}

}  // namespace
}  // namespace emu::arm
