// GDB's remote serial protocol, server side: what gdb-multiarch or arm-none-eabi-gdb speak to a
// stub over TCP. The emulator is the target; this file knows packets, not Unicorn.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace emu {

// GDB's own signal numbers, which it shows by name (SIGTRAP, ...).
enum class Signal : int { Interrupt = 2, Illegal = 4, Trap = 5, Segv = 11, Alarm = 14 };
enum class WatchKind { Write, Read, Access };

// Why the program stopped.
struct StopReason {
  Signal signal = Signal::Trap;
  enum Kind { Plain, SoftwareBreak, HardwareBreak, Watch } kind = Plain;
  WatchKind watch = WatchKind::Write;
  std::uint32_t address = 0;  // of the watched data
};

// What the server reads and changes while the program is stopped. Registers: r0-r15, then cpsr.
class GdbTarget {
 public:
  static constexpr unsigned kRegisters = 17;
  static constexpr unsigned kPc = 15;
  static constexpr unsigned kCpsr = 16;
  virtual std::array<std::uint32_t, kRegisters> registers() = 0;
  virtual void set_register(unsigned n, std::uint32_t value) = 0;
  virtual bool read_memory(std::uint32_t addr, std::span<std::uint8_t> out) = 0;
  virtual bool write_memory(std::uint32_t addr, std::span<const std::uint8_t> in) = 0;
  virtual bool set_breakpoint(std::uint32_t addr, bool on) = 0;
  virtual bool set_watchpoint(WatchKind kind, std::uint32_t addr, std::uint32_t length,
                              bool on) = 0;
  // GDB's `load` into flash (vFlashErase, vFlashWrite, vFlashDone): false for a range the flash
  // cannot take; done programs what was written and returns lines for GDB's console.
  virtual bool erase_flash(std::uint32_t, std::uint32_t) { return false; }
  virtual bool program_flash(std::uint32_t, std::span<const std::uint8_t>) { return false; }
  virtual std::vector<std::string> flash_done() { return {}; }
  // `monitor reset`: the chip back to its reset vector, held; false when it would not start
  // the program (and stays as it was). `said`: lines for GDB's console either way.
  virtual bool reset(std::vector<std::string>& said) {
    said.push_back("this target cannot be reset");
    return false;
  }
  // `monitor cycles`: processor clocks since the stopwatch was last zeroed (or the chip reset),
  // up to the instruction the program stopped at.
  virtual std::uint64_t cycles() { return 0; }
  virtual void zero_cycles() {}

 protected:
  ~GdbTarget() = default;
};

enum class Resume { Continue, Step, Detach, Kill };

// Addresses [begin, end) a step goes on in while the pc stays there (GDB's range stepping).
struct StepRange {
  std::uint32_t begin, end;
};

class GdbServer {
 public:
  // Listens on 127.0.0.1:port only and waits for one debugger to connect. Throws sim::Refusal
  // when the port cannot be had, std::runtime_error when waiting fails.
  explicit GdbServer(int port);
  // Serves a debugger already connected on a stream socket (one end of a socket pair, say),
  // which it then owns.
  struct Connection {
    int fd;
  };
  explicit GdbServer(Connection connection) : fd_(connection.fd) {}
  ~GdbServer();
  GdbServer(const GdbServer&) = delete;
  GdbServer& operator=(const GdbServer&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Tells the debugger the program stopped and answers it until it lets the program go on. A
  // connection that drops counts as a detach.
  Resume stopped(const StopReason& why, GdbTarget& target);
  // With Resume::Step: the range GDB asked to step in (vCont;r), none for a single step.
  const std::optional<StepRange>& step_range() const { return step_range_; }
  // While the program runs: whether the debugger asked to interrupt it (Ctrl-C). Never blocks.
  bool interrupted();
  // Text for the debugger's console, while the program runs.
  void console(const std::string& text);
  // The program's end: a normal exit, or ended by a signal. Closes the connection.
  void exited(int status);
  void terminated(Signal signal);

 private:
  bool read_packet(std::string& packet);
  bool send_packet(const std::string& body);
  bool read_byte(std::uint8_t& byte);
  Resume serve(GdbTarget& target);
  std::string answer(const std::string& packet, GdbTarget& target, Resume& resume, bool& resumes);
  std::string resume_action(std::string_view action, Resume& resume, bool& resumes);
  std::string memory(const std::string& args, GdbTarget& target);
  std::string write_memory(const std::string& args, GdbTarget& target);
  std::string write_binary(std::string_view args, GdbTarget& target);
  std::string point(const std::string& packet, GdbTarget& target);
  std::string features(const std::string& args) const;
  std::string memory_map(std::string_view args) const;
  std::string flash_packet(std::string_view packet, GdbTarget& target);
  std::string monitor(std::string_view hex, GdbTarget& target, Resume& resume, bool& resumes);
  void await_if_unasked();
  void close_connection();

  int fd_ = -1;
  bool acks_ = true;
  bool acks_off_after_reply_ = false;
  bool running_ = false;  // the debugger let the program go on and waits for its stop
  // `monitor reset run`: the program runs without GDB waiting for it; GDB's next packet stops
  // it where it got to, and a stop before then is told as the answer to GDB's next resume.
  bool unasked_ = false;
  bool stop_untold_ = false;
  bool packet_came_ = false;  // while unasked_: what stopped the program
  // Lines for GDB's console from a packet whose reply cannot carry them (vFlashDone): told with
  // the next command's output or as the program next runs.
  std::vector<std::string> untold_lines_;
  std::string last_stop_ = "S05";
  std::string buffered_;  // bytes read past a packet
  std::optional<StepRange> step_range_;
  std::set<std::uint32_t> hardware_breaks_;  // inserted by Z1: their stops say hwbreak
};

}  // namespace emu
