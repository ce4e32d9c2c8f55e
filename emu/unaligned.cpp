// Transfers whose address is not a multiple of their width, as the ARM7TDMI-S (ARMv4T) makes
// them. Unicorn's cores move the bytes at the very address (a newer core's behaviour), and turn
// such an access to a peripheral into two aligned ones; none of its ARM models does otherwise
// (none rotates, and SCTLR.A is ignored for these cores). The ARM7TDMI-S puts the aligned
// address on the bus and transfers once:
//   LDR    the aligned word, rotated right by 8 x (address & 3);
//   LDRH   the aligned halfword, rotated right by 8 within the word (ARMv4T leaves the result
//          of an odd address unpredictable; this is what the ARM7TDMI returns: the addressed
//          byte in bits 7..0, the one below it in bits 31..24);
//   LDRSH  the addressed byte, sign-extended, as the ARM7TDMI returns (LDRSB of the address);
//   STR, STRH  the aligned word or halfword, the register unrotated;
//   LDM, STM   address bits 1..0 ignored: the words at the aligned addresses, the base written
//              back from its value as it was.
// SWP and the user-bank forms of LDM and STM are left as Unicorn makes them.
//
// Where it is caught: every load and store already takes Unicorn's slow path, because flash
// code pages carry a read hook (memory_map.cpp), so one more memory hook on the whole map costs
// a call and a test of the address's low bits per access (within the bench's noise). A code hook
// per load and store would cost far more: Unicorn runs through every code hook each time any
// of them fires, and the demo has some 160 transfers that could be unaligned. The hook runs
// before the access with the registers current; it finds the instruction in the running block,
// makes the transfer itself and moves the pc past it, which ends the block right after
// Unicorn's own access and before that writes any register. What Unicorn's access still does
// is undone: its pieces reach no peripheral or flash (`swallow`), and the RAM bytes its store
// overwrote are put back when the core goes on (a block hook added the first time).
#include <bit>
#include <utility>

#include "emu/arm_decode.h"
#include "emu/arm_timing.h"
#include "emulator_impl.h"

namespace emu {
namespace {

constexpr std::uint32_t kHalf = 2;

// A transfer's offset under registers r (a register offset through the barrel shifter, RRX
// taking the carry in).
std::uint32_t offset_of(const arm::Instruction& i, const std::uint32_t* r, std::uint32_t cpsr) {
  if (i.operand == arm::Operand::Immediate) return i.imm;
  if (i.shift == arm::Shift::Ror && i.shift_amount == 0) {
    return ((cpsr & arm::kFlagsC) ? 0x80000000u : 0u) | (r[i.rm] >> 1);
  }
  return arm::shifted(i, r[i.rm]);
}

}  // namespace

void Emulator::Impl::hook_unaligned(uc_engine*, uc_mem_type type, std::uint64_t addr, int size,
                                    std::int64_t, void* s) {
  const auto a = static_cast<std::uint32_t>(addr);
  if ((a & (static_cast<std::uint32_t>(size) - 1)) == 0) return;  // aligned, or a byte
  Impl& self = *static_cast<Impl*>(s);
  self.shielded(
      [&] { self.unaligned_access(a, static_cast<unsigned>(size), type == UC_MEM_WRITE); });
}

void Emulator::Impl::hook_unaligned_done(uc_engine*, std::uint64_t, std::uint32_t, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  self.shielded([&] { self.finish_unaligned(); });
}

// The core goes on after an unaligned transfer: Unicorn's own access is over.
void Emulator::Impl::finish_unaligned() {
  if (!unaligned.swallow) return;
  unaligned.swallow = false;
  if (!unaligned.restore.empty()) {
    uc_mem_write(uc, unaligned.restore_at, unaligned.restore.data(), unaligned.restore.size());
    unaligned.restore.clear();
  }
}

// The transfer instruction of the running block that makes this access: the pc is known only
// at the block's start, the registers and flags are the instruction's own. Of the instructions
// after the last one finished here in this pass through the block, the first that executes
// under the flags and reaches this very address with this width and direction.
std::optional<std::uint32_t> Emulator::Impl::unaligned_instruction(std::uint32_t accessed,
                                                                   unsigned size, bool write,
                                                                   const std::uint32_t* r,
                                                                   std::uint32_t cpsr) const {
  const bool same_pass = unaligned.block == current && unaligned.pass == counters.instructions;
  for (std::uint32_t pc = same_pass ? unaligned.last + kWord : current->addr; pc < current->end;
       pc += kWord) {
    std::uint32_t word = 0;
    if (uc_mem_read(uc, pc, &word, kWord) != UC_ERR_OK) break;
    const arm::Instruction i = arm::decode_instruction(word);
    if (i.load == write || !arm::condition_passed(i.cond, cpsr)) continue;
    const std::uint32_t base = i.rn == arm::kPc ? pc + 8 : r[i.rn];
    if (i.kind == arm::Class::SingleTransfer || i.kind == arm::Class::HalfwordTransfer) {
      const std::uint32_t offset = offset_of(i, r, cpsr);
      const std::uint32_t at = !i.pre ? base : i.up ? base + offset : base - offset;
      if (at == accessed && i.size == size) return pc;
    } else if (i.kind == arm::Class::BlockTransfer && !i.user && i.registers != 0) {
      if (arm::block_transfer_start(i, base) == accessed && size == kWord) return pc;
    }
  }
  return std::nullopt;
}

void Emulator::Impl::unaligned_access(std::uint32_t accessed, unsigned size, bool write) {
  if (unaligned.swallow || checks.faulted || !current) return;
  const bool peripheral = sim::Board::is_peripheral(accessed);
  const bool ram = chip::in_region(accessed, chip::RAM_BASE, chip::RAM_SIZE);
  if (!peripheral && !ram && accessed >= chip::FLASH_SIZE) return;
  std::uint32_t r[kRegisters];
  for (unsigned i = 0; i < kRegisters; ++i) r[i] = reg(kCoreRegister[i]);
  const std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
  const std::optional<std::uint32_t> found = unaligned_instruction(accessed, size, write, r, cpsr);
  if (!found) return;  // not an instruction this knows: Unicorn's access stands
  const std::uint32_t pc = *found;
  std::uint32_t word = 0;
  uc_mem_read(uc, pc, &word, kWord);
  const arm::Instruction i = arm::decode_instruction(word);
  r[arm::kPc] = pc + 8;

  if (peripheral && unaligned.reported.insert(pc).second) {
    board.report({"unaligned " + std::to_string(size * 8) + "-bit " + (write ? "write" : "read") +
                      " of " + sim::hex_word(accessed) + " by code at " + where(pc),
                  accessed});
  }
  // A poll loop goes round inside its read (polls.cpp), testing the value as the board gives
  // it; an unaligned one tests it rotated, so it goes round pass by pass.
  const bool spin = std::exchange(current->spin, false);
  const bool ends_in_spin = std::exchange(current->ends_in_spin, false);
  const std::uint32_t next = i.kind == arm::Class::BlockTransfer
                                 ? unaligned_block(i, pc, r)
                                 : unaligned_single(i, pc, r, offset_of(i, r, cpsr));
  current->spin = spin;
  current->ends_in_spin = ends_in_spin;
  if (checks.faulted) return;  // a store to flash: the run ends at it

  // What Unicorn's access overwrites in RAM is put back as the core goes on.
  unaligned.restore.assign(write && ram ? size : 0, 0);
  if (!unaligned.restore.empty() &&
      uc_mem_read(uc, accessed, unaligned.restore.data(), size) == UC_ERR_OK) {
    unaligned.restore_at = accessed;
  } else {
    unaligned.restore.clear();
  }
  unaligned.swallow = true;
  if (!unaligned.hooked) {
    uc_hook h;
    check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(hook_unaligned_done), this, 1,
                      0),
          "unaligned transfer hook");
    unaligned.hooked = true;
  }
  unaligned.block = current;
  unaligned.pass = counters.instructions;
  unaligned.last = pc;
  // The rest of the block was counted as it began.
  if (next == pc + kWord && next != current->end) debug.charged_at = next;
  set_reg(UC_ARM_REG_PC, next);
}

// LDR, LDRH, LDRSH, STR, STRH; returns where the core goes on.
std::uint32_t Emulator::Impl::unaligned_single(const arm::Instruction& i, std::uint32_t pc,
                                               const std::uint32_t* r, std::uint32_t offset) {
  const std::uint32_t base = r[i.rn];
  const std::uint32_t moved = i.up ? base + offset : base - offset;
  const std::uint32_t at = i.pre ? moved : base;
  const std::uint32_t rotate = 8 * (at & (i.size - 1));
  const std::uint32_t aligned = at & ~(i.size - 1u);
  if (!i.load) {
    const std::uint32_t v = i.rd == arm::kPc ? pc + 12 : r[i.rd];  // the ARM7TDMI stores pc + 12
    bus_write(aligned, i.size, i.size == kHalf ? v & 0xFFFF : v, pc);
    if (i.writeback) set_reg(kCoreRegister[i.rn], moved);
    return pc + kWord;
  }
  const std::uint32_t data = bus_read(aligned, i.size);
  std::uint32_t v = std::rotr(data, static_cast<int>(rotate));
  if (i.size == kHalf && i.sign)
    v = static_cast<std::uint32_t>(static_cast<std::int8_t>(data >> 8));
  // Written back first: a base that is also the destination ends up loaded.
  if (i.writeback) set_reg(kCoreRegister[i.rn], moved);
  if (i.rd == arm::kPc) return v & ~(kWord - 1);
  set_reg(kCoreRegister[i.rd], v);
  return pc + kWord;
}

// LDM, STM; returns where the core goes on.
std::uint32_t Emulator::Impl::unaligned_block(const arm::Instruction& i, std::uint32_t pc,
                                              const std::uint32_t* r) {
  const std::uint32_t base = r[i.rn];
  const auto bytes = kWord * static_cast<std::uint32_t>(std::popcount(i.registers));
  const std::uint32_t after = i.up ? base + bytes : base - bytes;
  std::uint32_t at = arm::block_transfer_start(i, base) & ~(kWord - 1);
  std::uint32_t next = pc + kWord;
  if (i.load && i.writeback) set_reg(kCoreRegister[i.rn], after);  // a loaded base wins
  bool first = true;
  for (unsigned n = 0; n < kRegisters; ++n) {
    if (!(i.registers & (1u << n))) continue;
    if (i.load) {
      const std::uint32_t v = bus_read(at, kWord);
      if (n == arm::kPc) {
        next = v & ~(kWord - 1);
      } else {
        set_reg(kCoreRegister[n], v);
      }
    } else {
      // The ARM7TDMI stores the base as it was when it is the first register stored, as
      // written back otherwise; the pc as its address + 12.
      std::uint32_t v = n == arm::kPc ? pc + 12 : r[n];
      if (n == i.rn && i.writeback && !first) v = after;
      bus_write(at, kWord, v, pc);
    }
    if (checks.faulted) return next;
    at += kWord;
    first = false;
  }
  if (!i.load && i.writeback) set_reg(kCoreRegister[i.rn], after);
  return next;
}

// One aligned access as the core puts it on the bus: flash through the accelerator, the board's
// registers with their wait and side effects, or RAM.
std::uint32_t Emulator::Impl::bus_read(std::uint32_t addr, unsigned size) {
  std::uint32_t v = 0;
  if (addr < chip::FLASH_SIZE) {
    flash_data_read(addr, size);
    for (unsigned b = 0; b < size; ++b) v |= std::uint32_t{flash.bytes[addr + b]} << (8 * b);
  } else if (sim::Board::is_peripheral(addr)) {
    v = static_cast<std::uint32_t>(peripheral_read(addr, size));
  } else {
    uc_mem_read(uc, addr, &v, size);
  }
  return v;
}

void Emulator::Impl::bus_write(std::uint32_t addr, unsigned size, std::uint32_t value,
                               std::uint32_t pc) {
  if (addr < chip::FLASH_SIZE) {
    flash_store_fault(addr, size, value, pc);
  } else if (sim::Board::is_peripheral(addr)) {
    peripheral_write(addr, size, value);
  } else {
    uc_mem_write(uc, addr, &value, size);
  }
}

}  // namespace emu
