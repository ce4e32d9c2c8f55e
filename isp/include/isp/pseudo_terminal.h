// A pseudo-terminal that stands in for the serial port of a board: a host tool opens the
// slave through a symbolic link, the loader answers on the master.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace isp {

class PseudoTerminal {
 public:
  // Links `link` to the slave. A stale link is replaced; anything else at `link`, or a link
  // that cannot be made there, is refused with sim::Refusal. Throws std::runtime_error when no
  // terminal can be had.
  explicit PseudoTerminal(std::filesystem::path link);
  ~PseudoTerminal();  // removes the link
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& slave_name() const { return slave_name_; }
  // What the host sent, waiting at most `wait`; empty when it sent nothing.
  std::string read(std::chrono::milliseconds wait);
  void write(std::string_view bytes);
  // Writes what the terminal takes without waiting; the rest is lost, as on a line nobody
  // reads.
  void offer(std::string_view bytes);

 private:
  void close_terminal();

  std::filesystem::path link_;
  std::string slave_name_;
  int master_ = -1;
  // Held open so that the master reads no hang-up while the host has the port closed.
  int slave_ = -1;
};

}  // namespace isp
