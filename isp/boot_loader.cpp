#include "isp/boot_loader.h"

#include <algorithm>
#include <charconv>
#include <numeric>

namespace isp {
namespace {

constexpr std::string_view kSynchronized = "Synchronized";
constexpr std::string_view kEol = "\r\n";
constexpr unsigned kLinesPerChecksum = 20;
constexpr std::uint32_t kLineBytes = 45;  // UU-encoded: 61 characters with the length
// The loader's own RAM: its variables, and its stack and flash-programming workspace at the
// top. A host that wrote there would crash it.
constexpr std::uint32_t kLoaderRamBegin = 0x40000120, kLoaderRamEnd = 0x40000200;
constexpr std::uint32_t kLoaderTop = 0x40007EE0;
// Boot code version 2.12, the major number first as lpc21isp reads it.
constexpr std::string_view kBootVersion = "2\r\n12\r\n";
constexpr std::uint32_t kCopySizes[] = {256, 512, 1024, 4096};
constexpr std::uint32_t kCopyAlign = 256;
constexpr std::uint32_t kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

std::string number(std::uint32_t v) {
  return std::to_string(v) + std::string(kEol);
}

bool in_ram(std::uint32_t addr, std::uint32_t count) {
  return addr >= kRamBase && count <= kRamSize && addr - kRamBase <= kRamSize - count;
}
bool in_flash(std::uint32_t addr, std::uint32_t count) {
  return count <= kFlashSize && addr <= kFlashSize - count;
}
// Below the boot block: where the host may copy, erase and go.
bool in_user_flash(std::uint32_t addr, std::uint32_t count) {
  return addr < kUserFlashEnd && kUserFlashEnd - addr >= count;
}
bool touches_loader_ram(std::uint32_t addr, std::uint32_t count) {
  const std::uint64_t end = std::uint64_t{addr} + count;
  return (addr < kLoaderRamEnd && end > kLoaderRamBegin) || end > kLoaderTop;
}

std::vector<std::string_view> split(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t begin = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > begin) words.push_back(text.substr(begin, i - begin));
  }
  return words;
}

std::optional<std::uint32_t> parse(std::string_view word) {
  std::uint32_t v = 0;
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
  if (ec != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return v;
}

char uu_char(unsigned six) {
  return six == 0 ? '`' : static_cast<char>(' ' + six);
}
unsigned uu_value(char c) {
  return static_cast<unsigned>(c - ' ') & 0x3F;
}

std::string uu_line(const std::uint8_t* data, std::uint32_t n) {
  std::string s(1, uu_char(n));
  for (std::uint32_t i = 0; i < n; i += 3) {
    std::uint32_t v = 0;
    for (std::uint32_t k = 0; k < 3; ++k) v = v << 8 | (i + k < n ? data[i + k] : 0);
    for (int shift = 18; shift >= 0; shift -= 6) s += uu_char((v >> shift) & 0x3F);
  }
  return s + std::string(kEol);
}

// The bytes of a UU-encoded line; none when it is malformed (its checksum then fails).
std::optional<std::vector<std::uint8_t>> uu_decode(std::string_view line) {
  if (line.empty()) return std::nullopt;
  const unsigned n = uu_value(line[0]);
  if (line.size() < 1 + (n + 2) / 3 * 4) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (unsigned i = 0; out.size() < n; i += 4) {
    std::uint32_t v = 0;
    for (unsigned k = 0; k < 4; ++k) v = v << 6 | uu_value(line[1 + i + k]);
    for (int shift = 16; shift >= 0 && out.size() < n; shift -= 8) {
      out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
  }
  return out;
}

}  // namespace

BootLoader::BootLoader() : ram_(kRamSize, 0) {}

void BootLoader::reset() {
  BootLoader fresh;
  fresh.flash_ = Flash(flash_.bytes());
  fresh.ram_ = std::move(ram_);
  fresh.refused_boots_ = refused_boots_;
  *this = std::move(fresh);
}

std::string BootLoader::receive(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    if (phase_ == Phase::Started) break;
    if (phase_ == Phase::Autobaud) {
      // Autobaud measures the "?" and ignores everything before it.
      if (c == '?') {
        out += std::string(kSynchronized) + std::string(kEol);
        phase_ = Phase::SyncWord;
        pending_.clear();
      }
      continue;
    }
    // The synchronisation answers always echo; echo off applies to commands and data.
    const bool syncing = phase_ == Phase::SyncWord || phase_ == Phase::Crystal;
    if ((echo_ || syncing) && phase_ != Phase::ReadReply) out += c;
    if (c != '\n') {
      // A runaway line is no command: keep it bounded and let the parse refuse it.
      if (c != '\r' && pending_.size() < 256) pending_ += c;
      continue;
    }
    const std::string text = std::move(pending_);
    pending_.clear();
    line(text, out);
  }
  return out;
}

void BootLoader::line(std::string_view text, std::string& out) {
  switch (phase_) {
    case Phase::SyncWord: {
      // Further "?" the host sent before it saw the answer lead the line.
      const std::size_t start = text.find_first_not_of('?');
      if (start != std::string_view::npos && text.substr(start) == kSynchronized) {
        out += "OK\r\n";
        phase_ = Phase::Crystal;
      } else {
        phase_ = Phase::Autobaud;
      }
      return;
    }
    case Phase::Crystal:
      if (auto khz = parse(text)) {
        crystal_khz_ = *khz;
        out += "OK\r\n";
        phase_ = Phase::Command;
      } else {
        phase_ = Phase::Autobaud;
      }
      return;
    case Phase::Command:
      command(text, out);
      return;
    case Phase::WriteData:
      write_data(text, out);
      return;
    case Phase::ReadReply:
      if (text == "OK") {
        transfer_addr_ += block_len_;
        transfer_left_ -= block_len_;
        if (transfer_left_ == 0) {
          phase_ = Phase::Command;
          return;
        }
      }
      send_read_block(out);  // RESEND, or anything else: the same block again
      return;
    case Phase::Autobaud:
    case Phase::Started:
      return;
  }
}

void BootLoader::command(std::string_view text, std::string& out) {
  const std::vector<std::string_view> words = split(text);
  if (words.empty()) return;
  std::vector<std::uint32_t> a;
  bool numeric = true;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const auto v = parse(words[i]);
    numeric = numeric && v.has_value();
    a.push_back(v.value_or(0));
  }
  const std::string_view name = words[0];
  auto args = [&](std::size_t n) { return numeric && a.size() == n; };
  std::string data;
  Code code = INVALID_COMMAND;
  if (name.size() != 1) {
    code = INVALID_COMMAND;
  } else if (name == "U") {
    code = !args(1) ? PARAM_ERROR : a[0] != kUnlockCode ? INVALID_CODE : CMD_SUCCESS;
    if (code == CMD_SUCCESS) unlocked_ = true;
  } else if (name == "B") {
    if (!args(2)) {
      code = PARAM_ERROR;
    } else if (std::find(std::begin(kBauds), std::end(kBauds), a[0]) == std::end(kBauds)) {
      code = INVALID_BAUD_RATE;
    } else {
      code = a[1] == 1 || a[1] == 2 ? CMD_SUCCESS : INVALID_STOP_BIT;
    }
  } else if (name == "A") {
    code = !args(1) || a[0] > 1 ? PARAM_ERROR : CMD_SUCCESS;
    if (code == CMD_SUCCESS) echo_ = a[0] == 1;
  } else if (name == "W") {
    code = args(2) ? write_ram(a) : PARAM_ERROR;
  } else if (name == "R") {
    code = args(2) ? read_memory(a) : PARAM_ERROR;
  } else if (name == "P") {
    code = !args(2) ? PARAM_ERROR : a[1] < a[0] || a[1] >= kSectors ? INVALID_SECTOR : CMD_SUCCESS;
    if (code == CMD_SUCCESS) flash_.prepare(a[0], a[1]);
  } else if (name == "C") {
    code = args(3) ? copy(a) : PARAM_ERROR;
  } else if (name == "E") {
    code = args(2) ? erase(a) : PARAM_ERROR;
  } else if (name == "I") {
    code = args(2) ? blank_check(a, data) : PARAM_ERROR;
  } else if (name == "J") {
    code = args(0) ? CMD_SUCCESS : PARAM_ERROR;
    if (code == CMD_SUCCESS) data = number(kPartId);
  } else if (name == "K") {
    code = args(0) ? CMD_SUCCESS : PARAM_ERROR;
    if (code == CMD_SUCCESS) data = kBootVersion;
  } else if (name == "M") {
    code = args(3) ? compare(a, data) : PARAM_ERROR;
  } else if (name == "G") {
    code = go(words, a);
  }
  out += number(code) + data;
  if (phase_ == Phase::ReadReply) send_read_block(out);
  if (go_ && go_->addr == 0 && !go_->thumb && !flash_.vectors_valid()) {
    // G 0 runs the reset code, which stays in the loader without valid vectors.
    go_.reset();
    ++refused_boots_;
    phase_ = Phase::Autobaud;
    unlocked_ = false;
    echo_ = true;
  }
}

Code BootLoader::write_ram(const std::vector<std::uint32_t>& a) {
  const std::uint32_t addr = a[0], count = a[1];
  if (addr % 4 != 0) return ADDR_ERROR;
  if (count % 4 != 0) return COUNT_ERROR;
  if (!in_ram(addr, count)) return ADDR_NOT_MAPPED;
  if (touches_loader_ram(addr, count)) return ADDR_ERROR;
  if (count == 0) return CMD_SUCCESS;
  transfer_addr_ = addr;
  transfer_left_ = count;
  block_.clear();
  block_lines_ = 0;
  block_bad_ = false;
  phase_ = Phase::WriteData;
  return CMD_SUCCESS;
}

void BootLoader::write_data(std::string_view text, std::string& out) {
  const bool checksum_due = block_lines_ == kLinesPerChecksum || block_.size() >= transfer_left_;
  if (!checksum_due) {
    ++block_lines_;
    if (const auto bytes = uu_decode(text)) {
      block_.insert(block_.end(), bytes->begin(), bytes->end());
    } else {
      // A malformed line still counts the bytes it claims, so that the checksum is expected
      // where the host sends it; that checksum then asks for the block again.
      block_.resize(block_.size() + (text.empty() ? 0 : uu_value(text[0])));
      block_bad_ = true;
    }
    return;
  }
  const std::uint32_t sum = std::accumulate(block_.begin(), block_.end(), std::uint32_t{0});
  const auto expected = parse(text);
  if (expected && *expected == sum && !block_bad_ && block_.size() <= transfer_left_) {
    std::copy(block_.begin(), block_.end(), ram_.begin() + (transfer_addr_ - kRamBase));
    transfer_addr_ += static_cast<std::uint32_t>(block_.size());
    transfer_left_ -= static_cast<std::uint32_t>(block_.size());
    out += "OK\r\n";
  } else {
    out += "RESEND\r\n";
  }
  block_.clear();
  block_lines_ = 0;
  block_bad_ = false;
  if (transfer_left_ == 0) phase_ = Phase::Command;
}

std::uint8_t BootLoader::byte_at(std::uint32_t addr) const {
  return addr >= kRamBase ? ram_[addr - kRamBase] : flash_.bytes()[addr];
}

Code BootLoader::read_memory(const std::vector<std::uint32_t>& a) {
  const std::uint32_t addr = a[0], count = a[1];
  if (addr % 4 != 0) return ADDR_ERROR;
  if (count % 4 != 0) return COUNT_ERROR;
  if (!in_ram(addr, count) && !in_flash(addr, count)) return ADDR_NOT_MAPPED;
  if (count == 0) return CMD_SUCCESS;
  transfer_addr_ = addr;
  transfer_left_ = count;
  phase_ = Phase::ReadReply;
  return CMD_SUCCESS;
}

void BootLoader::send_read_block(std::string& out) {
  block_len_ = std::min(transfer_left_, kLineBytes * kLinesPerChecksum);
  std::uint8_t line[kLineBytes];
  std::uint32_t sum = 0;
  for (std::uint32_t done = 0; done < block_len_; done += kLineBytes) {
    const std::uint32_t n = std::min(kLineBytes, block_len_ - done);
    for (std::uint32_t i = 0; i < n; ++i) {
      line[i] = byte_at(transfer_addr_ + done + i);
      sum += line[i];
    }
    out += uu_line(line, n);
  }
  out += number(sum);
}

Code BootLoader::copy(const std::vector<std::uint32_t>& a) {
  const std::uint32_t dst = a[0], src = a[1], count = a[2];
  if (!unlocked_) return CMD_LOCKED;
  if (dst % kCopyAlign != 0) return DST_ADDR_ERROR;
  if (src % 4 != 0) return SRC_ADDR_ERROR;
  if (std::find(std::begin(kCopySizes), std::end(kCopySizes), count) == std::end(kCopySizes)) {
    return COUNT_ERROR;
  }
  if (!in_user_flash(dst, count)) return DST_ADDR_NOT_MAPPED;
  if (!in_ram(src, count)) return SRC_ADDR_NOT_MAPPED;
  if (touches_loader_ram(src, count)) return SRC_ADDR_ERROR;
  for (std::uint32_t at = dst; at < dst + count; at += kCopyAlign) {
    if (!flash_.prepared(*sector_of(at))) return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  }
  flash_.program(dst, {ram_.data() + (src - kRamBase), count});
  return CMD_SUCCESS;
}

Code BootLoader::erase(const std::vector<std::uint32_t>& a) {
  if (!unlocked_) return CMD_LOCKED;
  if (a[1] < a[0] || a[1] >= kSectors) return INVALID_SECTOR;
  for (unsigned s = a[0]; s <= a[1]; ++s) {
    if (!flash_.prepared(s)) return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  }
  flash_.erase(a[0], a[1]);
  return CMD_SUCCESS;
}

Code BootLoader::blank_check(const std::vector<std::uint32_t>& a, std::string& data) {
  if (a[1] < a[0] || a[1] >= kSectors) return INVALID_SECTOR;
  const std::uint32_t begin = sector_start(a[0]), end = sector_start(a[1]) + sector_size(a[1]);
  for (std::uint32_t at = begin; at < end; at += 4) {
    std::uint32_t word = 0;
    for (unsigned b = 0; b < 4; ++b) word |= std::uint32_t{flash_.bytes()[at + b]} << (8 * b);
    if (word != 0xFFFFFFFF) {
      data = number(at - begin) + number(word);
      return SECTOR_NOT_BLANK;
    }
  }
  return CMD_SUCCESS;
}

Code BootLoader::compare(const std::vector<std::uint32_t>& a, std::string& data) {
  const std::uint32_t x = a[0], y = a[1], count = a[2];
  if (x % 4 != 0 || y % 4 != 0) return ADDR_ERROR;
  if (count % 4 != 0) return COUNT_ERROR;
  for (std::uint32_t addr : {x, y}) {
    if (!in_ram(addr, count) && !in_flash(addr, count)) return ADDR_NOT_MAPPED;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    if (byte_at(x + i) != byte_at(y + i)) {
      data = number(i & ~3u);
      return COMPARE_ERROR;
    }
  }
  return CMD_SUCCESS;
}

Code BootLoader::go(const std::vector<std::string_view>& words,
                    const std::vector<std::uint32_t>& a) {
  if (words.size() != 3 || a.empty() || !parse(words[1])) return PARAM_ERROR;
  if (!unlocked_) return CMD_LOCKED;
  const std::string_view mode = words[2];
  if (mode != "A" && mode != "T") return PARAM_ERROR;
  const bool thumb = mode == "T";
  const std::uint32_t addr = a[0];
  if (addr % (thumb ? 2 : 4) != 0) return ADDR_ERROR;
  // The boot block is no place to go, as it is none to copy to or erase.
  if (!in_ram(addr, 4) && !in_user_flash(addr, 4)) return ADDR_NOT_MAPPED;
  go_ = Go{addr, thumb};
  phase_ = Phase::Started;
  return CMD_SUCCESS;
}

}  // namespace isp
