// Where the processor clocks go, per instruction and per call, in callgrind's format, so that
// callgrind_annotate and KCachegrind read it: the clocks, the instructions, and the wait clocks
// of the flash accelerator and the APB bridge, with file and line from the image's debug
// information and a call graph with inclusive costs.
//
// The emulator charges clocks a block at a time; a block's fixed clocks are spread over its
// instructions by the core's timing table, and what is settled as it runs (a conditional
// instruction executed, a multiply's early termination) goes to its instruction, a taken
// conditional branch to the block's last. Waits go to the instruction that made the access or
// the fetch.
// Every clock the emulator charges lands somewhere, so the totals equal its counters.
//
// The attribution is cost_attribution.cpp, the writer callgrind_writer.cpp; file and line come
// from SourceLines (elf_image.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>  // exchange
#include <vector>

#include "emu/block.h"
#include "emu/elf_image.h"

namespace emu {

enum class Event : std::size_t { Cycles, Instructions, FlashWait, ApbWait };
inline constexpr std::size_t kEvents = 4;
using Costs = std::array<std::uint64_t, kEvents>;

class Profile {
 public:
  // fetch: the instruction word at an address, read once per block.
  explicit Profile(std::function<std::uint32_t(std::uint32_t)> fetch) : fetch_(std::move(fetch)) {}

  // A block starts: its fixed clocks, and `flash_wait` of the accelerator's for its code.
  void enter(const Block& b, std::uint64_t flash_wait);
  // The running block ends, `exit` clocks more for a taken conditional branch, and goes on at
  // `next`: a call, a return or neither.
  void leave(std::uint64_t exit, std::uint32_t next);
  // `clocks` the core stalled for the accelerator at the fetch made by the instruction `at`.
  void fetch_wait(std::uint32_t at, std::uint64_t clocks) { add_at(at, Event::FlashWait, clocks); }
  // `clocks` of wait (FlashWait or ApbWait) for an access made by the instruction `at`.
  void wait_at(std::uint32_t at, Event kind, std::uint64_t clocks) { add_at(at, kind, clocks); }
  // `clocks` settled at the instruction `at` as it ran (a condition or a multiplier operand that
  // its block changes both before and after it).
  void settled(std::uint32_t at, std::uint64_t clocks) { add_at(at, Event::Cycles, clocks); }
  // `clocks` settled from the state at the running block's start or end, for its instruction
  // `index`.
  void settled_in_block(std::uint32_t index, std::uint64_t clocks);
  // The running poll loop went round `passes` more times, `pass` clocks each, `apb_wait` of them
  // at its load.
  void repeat(std::uint64_t passes, std::uint64_t pass, std::uint64_t apb_wait);
  // The run is over: calls still open (a frame limit stops mid-call) are closed here.
  void end_run();

  const Costs& totals() const { return totals_; }
  // Atomically (a temporary name, then renamed); throws std::runtime_error when it cannot.
  void write(const std::string& path, const ElfImage& image, const std::string& command) const;

 private:
  enum class Flow : std::uint8_t { None, Call, Return };
  // What one decoded block cost over all its runs.
  struct BlockCosts {
    std::uint32_t addr = 0;
    std::uint64_t runs = 0;
    std::vector<std::uint8_t> weights;  // the timing table's clocks per instruction
    std::uint32_t weight_sum = 0;
    // Clocks beyond runs * weight_sum on the last instruction: its taken branches, and any
    // counted as the slowest case.
    std::int64_t on_last = 0;
    std::vector<Costs> extra;  // per instruction: waits, clocks settled in place
    Flow flow = Flow::None;
  };
  struct Frame {
    std::uint32_t site, callee, ret;
    Costs at_call;
  };
  struct Edge {
    std::uint64_t count = 0;
    Costs inclusive{};
  };

  BlockCosts& costs_of(const Block& b);
  void add_at(std::uint32_t at, Event kind, std::uint64_t clocks);
  void add_to_last(std::int64_t clocks);
  void close(const Frame& f);
  std::map<std::uint32_t, Costs> self_costs() const;

  std::function<std::uint32_t(std::uint32_t)> fetch_;
  std::unordered_map<const Block*, BlockCosts> blocks_;  // nodes: their addresses stay
  std::array<std::pair<const Block*, BlockCosts*>, 512> recent_{};
  BlockCosts* current_ = nullptr;
  std::uint32_t current_end_ = 0;
  std::map<std::uint32_t, Costs> stray_;  // waits outside the running block
  std::vector<Frame> stack_;
  std::map<std::pair<std::uint32_t, std::uint32_t>, Edge> edges_;  // by call site, callee
  Costs totals_{};
};

}  // namespace emu
