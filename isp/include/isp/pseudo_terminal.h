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
  // Links `link` to the slave. The path is the session's while it lives: a second session at
  // the same path is refused with sim::Refusal, as is anything at `link` but a link to a
  // pseudo-terminal (a killed session's), which is replaced in one step, and a link that cannot
  // be made there. Throws std::runtime_error when no terminal can be had.
  explicit PseudoTerminal(std::filesystem::path link);
  ~PseudoTerminal();  // removes the link if it is still the one it made
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& slave_name() const { return slave_name_; }

  struct Received {
    std::string bytes;
    // The host has closed the port, after sending `bytes`: nothing written now reaches anyone,
    // what the host had not read is gone, and the port is raw again for the next one.
    bool host_left = false;
  };
  // What the host sent, waiting at most `wait`; no bytes when it sent nothing. While no host
  // has the port open the wait is a short sleep, as a host may open it at any time.
  Received read(std::chrono::milliseconds wait);
  // Writes what the terminal takes without waiting; the rest is lost, as on a line nobody
  // reads: the chip never waits on its own transmitter.
  void write(std::string_view bytes);

 private:
  void close_terminal();
  void discard_unread();

  std::filesystem::path link_;
  std::string slave_name_;
  int master_ = -1;
  int claim_ = -1;     // holds the path for this session (see claim() in the source)
  bool host_ = false;  // a host has had the port open since it was last found closed
};

}  // namespace isp
