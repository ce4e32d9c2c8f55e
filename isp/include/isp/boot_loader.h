// The LPC2138's ISP boot loader on UART0 as a host tool such as lpc21isp meets it: bytes from
// the host in, the loader's answer out, no I/O of its own. Autobaud ("?", "Synchronized", the
// crystal in kHz), then commands with echo, each answered with its return code, UU-encoded
// data with a checksum after every 20 lines, and the flash it programs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hw/lpc2138.h"
#include "isp/flash.h"

namespace isp {

enum Code : int {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
  COMPARE_ERROR = 10,
  BUSY = 11,
  PARAM_ERROR = 12,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
  CODE_READ_PROTECTION_ENABLED = 19,
};

inline constexpr std::uint32_t kPartId = 0x0002FF25;  // LPC2138
inline constexpr std::uint32_t kRamBase = lpc2138::RAM_BASE, kRamSize = lpc2138::RAM_SIZE;
inline constexpr std::uint32_t kUnlockCode = 23130;

// Where G sent the core.
struct Go {
  std::uint32_t addr = 0;
  bool thumb = false;
};

class BootLoader {
 public:
  BootLoader();

  // Takes what the host sent, in pieces of any size; returns what the loader answers.
  std::string receive(std::string_view bytes);
  // A reset with P0.14 held low: the loader autobauds again, locked, with echo on and no
  // sector prepared. The flash keeps what was programmed and the RAM what was written.
  void reset();

  const Flash& flash() const { return flash_; }
  // Set once G has been accepted; the loader answers nothing after it.
  const std::optional<Go>& go() const { return go_; }
  // Times G 0 restarted the chip and the boot check kept it in the loader (the vectors do not
  // sum to zero); it waits for "?" again.
  unsigned refused_boots() const { return refused_boots_; }
  // The crystal the host named, in kHz (0 before synchronisation).
  std::uint32_t crystal_khz() const { return crystal_khz_; }

 private:
  enum class Phase { Autobaud, SyncWord, Crystal, Command, WriteData, ReadReply, Started };

  void line(std::string_view text, std::string& out);
  void command(std::string_view text, std::string& out);
  void write_data(std::string_view text, std::string& out);
  void send_read_block(std::string& out);
  Code write_ram(const std::vector<std::uint32_t>& a);
  Code read_memory(const std::vector<std::uint32_t>& a);
  Code copy(const std::vector<std::uint32_t>& a);
  Code erase(const std::vector<std::uint32_t>& a);
  Code blank_check(const std::vector<std::uint32_t>& a, std::string& data);
  Code compare(const std::vector<std::uint32_t>& a, std::string& data);
  Code go(const std::vector<std::string_view>& words, const std::vector<std::uint32_t>& a);
  std::uint8_t byte_at(std::uint32_t addr) const;

  Flash flash_;
  std::vector<std::uint8_t> ram_;
  Phase phase_ = Phase::Autobaud;
  std::string pending_;  // the line received so far
  bool echo_ = true;
  bool unlocked_ = false;
  std::uint32_t crystal_khz_ = 0;
  // A W or R in progress: where the next block goes or comes from, and what is left.
  std::uint32_t transfer_addr_ = 0, transfer_left_ = 0;
  std::vector<std::uint8_t> block_;  // W: the block received since the last checksum
  unsigned block_lines_ = 0;
  bool block_bad_ = false;       // W: a line of the block did not decode
  std::uint32_t block_len_ = 0;  // R: the length of the block sent last
  std::optional<Go> go_;
  unsigned refused_boots_ = 0;
};

}  // namespace isp
