// A translated block of ARM code, decoded once: what it costs whatever the data, what has to
// be settled from the flags and registers as it runs, and whether it is a poll loop.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "emu/arm_timing.h"
#include "emu/emulator.h"

namespace emu {

// A data-dependent part of a block's cost, settled once the flags or registers it depends on
// can be read: a conditional instruction that costs more than a skipped one, or a multiply
// (under a condition, both: skipped, it takes no multiplier cycles either).
struct Dynamic {
  std::uint32_t cond = arm::kAlways;
  std::uint8_t extra = 0;  // clocks beyond a skipped instruction, multiplier cycles apart
  arm::Multiply kind = arm::Multiply::None;
  std::uint8_t rs = 0;
  std::uint32_t at = 0;  // the instruction, counted from the start of the code decoded
};

// A load or store of a block, in the order the core runs them.
struct Transfer {
  std::uint32_t index = 0;  // in the block
  arm::Instruction insn;
  std::optional<std::uint32_t> literal;  // the address of a load relative to the pc
  bool last_of_its_kind = true;          // no later one in the block moves data its way and width
};

// Something within a block that moves the clocks of the instructions after it: an
// instruction's fetch that reaches a new flash line (the word 8 bytes past it), or a part of
// the cost settled from the state (at_entry or at_exit, by item).
struct Mark {
  enum class Kind : std::uint8_t { NewLine, AtEntry, AtExit };
  std::uint32_t index = 0;  // the instruction
  Kind kind = Kind::NewLine;
  std::uint32_t item = 0;
};

inline constexpr std::uint32_t kSpinLength = 3;

// One translated block, decoded once: its fixed cost and what must be settled at run time.
struct Block {
  std::uint32_t addr = 0, end = 0;
  std::uint32_t insns = 0;
  std::uint32_t cycles = 0;  // fixed part; conditional instructions counted as skipped
  bool in_flash = false;
  bool halt = false;
  bool vector = false;  // an exception vector slot
  bool writes_sp = false;
  bool exit_conditional = false;  // the last instruction may leave the block, or fall through
  std::uint8_t exit_extra = 0;
  // The last instruction may change the flow to the instruction after the block (a branch
  // there, a load of pc): its condition tells whether it did.
  bool last_writes_pc = false;
  std::uint32_t last_cond = arm::kAlways;
  // Clocks from the block's start to each instruction's first cycle by the fixed costs, where
  // its fetch and (one clock on) its data access fall.
  std::vector<std::uint32_t> starts;
  std::vector<Transfer> transfers;
  std::vector<Mark> marks;  // by instruction; a new line before a settled part of the same
  Activity activity = Activity::Render;
  // The lowest byte it writes through the stack pointer, relative to sp as it starts, and the
  // store that writes it; found for unconditional stores while sp moves by constants.
  bool stack_write = false;
  std::int32_t stack_low = 0;
  std::uint32_t stack_low_at = 0;
  std::vector<Dynamic> at_entry;  // depend on the state as the block starts
  std::vector<Dynamic> at_exit;   // ... as it ends
  // A poll loop: load from a register, test it against a constant, branch back while unset;
  // the whole block, or its last three instructions (the poll's first pass, run on from the
  // code before it).
  bool spin = false;
  bool ends_in_spin = false;
  bool spin_compare = false;  // CMP; else TST
  std::uint32_t spin_imm = 0;
  bool spin_imm_rotated = false;           // TST then takes C from the immediate's bit 31
  std::uint32_t spin_cond = arm::kAlways;  // condition of the branch back
  bool spin_reads_flags = false;           // ... which depends on flags from before the test
  Block* other_length = nullptr;           // a block from the same address, ending elsewhere
};

// `in_place`: sorted addresses of instructions settled as they run (settled_in_place), which the
// block leaves out of its dynamic cost.
Block decode_block(std::uint32_t addr, const std::vector<std::uint32_t>& words,
                   const std::vector<std::uint32_t>& in_place = {});

// An instruction whose cost is settled just before it runs.
struct InPlace {
  std::uint32_t addr = 0;
  Dynamic cost;
};

// The instructions of the code at addr whose cost depends on flags or a register that the same
// block may change both before and after them, so that neither the block's start nor its end
// shows the value they see. A block ends at the first change of flow, so the straight runs
// between changes of flow contain every block; found once for all code, whatever block an
// instruction turns out to be part of.
std::vector<InPlace> settled_in_place(std::uint32_t addr, const std::vector<std::uint32_t>& words);

// Whether a poll loop goes round again after loading v, with the C and V flags of cpsr.
bool spin_continues(const Block& b, std::uint32_t v, std::uint32_t cpsr);

}  // namespace emu
