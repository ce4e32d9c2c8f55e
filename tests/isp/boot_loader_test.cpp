// The boot loader as a host meets it: synchronisation, return codes for wrong commands and
// arguments, UU-encoded transfers with their checksums, the flash's rules and the boot check.
#include "isp/boot_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace isp {
namespace {

constexpr std::uint32_t kBuffer = 0x40000200;  // free RAM above the loader's variables

// UU-encodes up to 45 bytes as one line, the length character first.
std::string uu(const std::vector<std::uint8_t>& bytes) {
  auto ch = [](unsigned v) { return static_cast<char>(v == 0 ? '`' : ' ' + v); };
  std::string s(1, ch(static_cast<unsigned>(bytes.size())));
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = 0;
    for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (i + k < bytes.size() ? bytes[i + k] : 0);
    for (int shift = 18; shift >= 0; shift -= 6) s += ch((v >> shift) & 0x3F);
  }
  return s + "\r\n";
}

std::vector<std::uint8_t> un_uu(const std::string& line) {
  std::vector<std::uint8_t> out;
  const unsigned n = (line[0] - ' ') & 0x3F;
  for (std::size_t i = 1; out.size() < n; i += 4) {
    unsigned v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = v << 6 | ((line[i + k] - ' ') & 0x3F);
    for (int shift = 16; shift >= 0 && out.size() < n; shift -= 8) out.push_back(v >> shift);
  }
  return out;
}

std::string sum_line(const std::vector<std::uint8_t>& bytes) {
  return std::to_string(std::accumulate(bytes.begin(), bytes.end(), 0u)) + "\r\n";
}

// A W transfer as the host sends it: blocks of up to 20 lines of 45 bytes, each block followed by
// the sum of its bytes.
struct Block {
  std::vector<std::string> lines;
  std::string sum;
};
std::vector<Block> blocks(const std::vector<std::uint8_t>& bytes) {
  std::vector<Block> out;
  for (std::size_t at = 0; at < bytes.size(); at += 20 * 45) {
    const std::vector<std::uint8_t> part(bytes.begin() + at,
                                         bytes.begin() + std::min(bytes.size(), at + 20 * 45));
    Block b;
    for (std::size_t i = 0; i < part.size(); i += 45) {
      b.lines.push_back(uu({part.begin() + i, part.begin() + std::min(part.size(), i + 45)}));
    }
    b.sum = sum_line(part);
    out.push_back(b);
  }
  return out;
}

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return bytes;
}

std::string dec(std::uint32_t v) {
  return std::to_string(v);
}

class Loader : public ::testing::Test {
 protected:
  // Autobaud and the crystal, then echo off so that answers are the loader's own.
  void SetUp() override {
    ASSERT_EQ(loader_.receive("?"), "Synchronized\r\n");
    ASSERT_EQ(loader_.receive("Synchronized\r\n"), "Synchronized\r\nOK\r\n");
    ASSERT_EQ(loader_.receive("12000\r\n"), "12000\r\nOK\r\n");
    ASSERT_EQ(loader_.receive("A 0\r\n"), "A 0\r\n0\r\n");  // echoed before it takes effect
  }
  std::string cmd(const std::string& line) { return loader_.receive(line + "\r\n"); }
  // One block of up to 20 lines into RAM at kBuffer; the loader's verdict on its checksum.
  std::string write(const std::vector<std::uint8_t>& bytes, std::string checksum = {}) {
    EXPECT_EQ(cmd("W " + std::to_string(kBuffer) + " " + std::to_string(bytes.size())), "0\r\n");
    std::string lines;
    for (std::size_t i = 0; i < bytes.size(); i += 45) {
      lines += uu({bytes.begin() + i, bytes.begin() + std::min(bytes.size(), i + 45)});
    }
    EXPECT_EQ(loader_.receive(lines), "");
    return loader_.receive(checksum.empty() ? sum_line(bytes) : checksum);
  }
  // Sync again with a new chip.
  void restart() {
    loader_ = BootLoader();
    SetUp();
  }
  // One block's lines and checksum; what the loader answers to them.
  std::string send(const Block& b) {
    std::string lines;
    for (const std::string& line : b.lines) lines += line;
    return loader_.receive(lines + b.sum);
  }
  // W of any length, every block accepted at the first try.
  void put(std::uint32_t addr, const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(cmd("W " + dec(addr) + " " + dec(static_cast<std::uint32_t>(bytes.size()))), "0\r\n");
    for (const Block& b : blocks(bytes)) ASSERT_EQ(send(b), "OK\r\n");
  }
  // R of any length: each block's lines decoded, its checksum checked and acknowledged.
  std::vector<std::uint8_t> get(std::uint32_t addr, std::uint32_t count) {
    std::string answer = cmd("R " + dec(addr) + " " + dec(count));
    EXPECT_TRUE(answer.starts_with("0\r\n")) << answer;
    answer.erase(0, 3);
    std::vector<std::uint8_t> got;
    while (got.size() < count) {
      const std::size_t len = std::min<std::size_t>(count - got.size(), 20 * 45);
      std::vector<std::uint8_t> block;
      std::size_t at = 0;
      while (block.size() < len) {
        const std::size_t end = answer.find("\r\n", at);
        if (end == std::string::npos || end == at) {
          ADD_FAILURE() << "R " << addr << " " << count << ": a block cut short: " << answer;
          return got;
        }
        const auto bytes = un_uu(answer.substr(at, end - at));
        block.insert(block.end(), bytes.begin(), bytes.end());
        at = end + 2;
      }
      EXPECT_EQ(answer.substr(at), sum_line(block));
      got.insert(got.end(), block.begin(), block.end());
      answer = loader_.receive("OK\r\n");
    }
    EXPECT_EQ(answer, "");  // the last OK ends the transfer
    return got;
  }
  // 256 bytes of `fill` at a flash page, with every user sector prepared for the copy.
  void program_page(std::uint32_t addr, std::uint8_t fill) {
    ASSERT_EQ(write(std::vector<std::uint8_t>(256, fill)), "OK\r\n");
    ASSERT_EQ(cmd("P 0 26"), "0\r\n");
    ASSERT_EQ(cmd("C " + dec(addr) + " " + dec(kBuffer) + " 256"), "0\r\n");
  }
  void program(std::uint32_t sector, const std::vector<std::uint8_t>& page) {
    ASSERT_EQ(write(page), "OK\r\n");
    ASSERT_EQ(cmd("P " + std::to_string(sector) + " " + std::to_string(sector)), "0\r\n");
    ASSERT_EQ(
        cmd("C " + std::to_string(sector_start(sector)) + " " + std::to_string(kBuffer) + " 256"),
        "0\r\n");
  }

  BootLoader loader_;
};

TEST_F(Loader, AnswersIdentityAndBootCodeVersion) {
  EXPECT_EQ(cmd("J"), "0\r\n196389\r\n");
  EXPECT_EQ(cmd("K"), "0\r\n2\r\n12\r\n");
  EXPECT_EQ(loader_.crystal_khz(), 12000u);
}

TEST_F(Loader, EchoesCommandsUntilTurnedOff) {
  BootLoader fresh;
  fresh.receive("?");
  fresh.receive("Synchronized\r\n");
  fresh.receive("12000\r\n");
  EXPECT_EQ(fresh.receive("J\r\n"), "J\r\n0\r\n196389\r\n");
  // A stray "?" left from autobaud does not make "Synchronized" wrong.
  BootLoader retried;
  retried.receive("?");
  EXPECT_EQ(retried.receive("?Synchronized\r\n"), "?Synchronized\r\nOK\r\n");
}

TEST_F(Loader, RefusesWrongCommandsAndArgumentsWithTheirCodes) {
  const std::string buffer = std::to_string(kBuffer);
  EXPECT_EQ(cmd("X"), "1\r\n");
  EXPECT_EQ(cmd("WW 0 4"), "1\r\n");
  EXPECT_EQ(cmd("J 1"), "12\r\n");
  EXPECT_EQ(cmd("W " + buffer), "12\r\n");
  EXPECT_EQ(cmd("W zero 4"), "12\r\n");
  EXPECT_EQ(cmd("W 1073742338 4"), "13\r\n");     // not on a word
  EXPECT_EQ(cmd("W " + buffer + " 3"), "6\r\n");  // not whole words
  EXPECT_EQ(cmd("W 0 4"), "14\r\n");              // flash is not RAM
  EXPECT_EQ(cmd("W 1073774592 4"), "14\r\n");     // past the end of RAM
  EXPECT_EQ(cmd("W 1073742112 4"), "13\r\n");     // the loader's variables, 0x40000120
  EXPECT_EQ(cmd("W 1073774304 4"), "13\r\n");     // its stack at the top, 0x40007EE0
  EXPECT_EQ(cmd("U 1234"), "16\r\n");
  EXPECT_EQ(cmd("C 0 " + buffer + " 256"), "15\r\n");  // locked
  EXPECT_EQ(cmd("E 0 0"), "15\r\n");
  EXPECT_EQ(cmd("G 0 A"), "15\r\n");
  EXPECT_EQ(cmd("U 23130"), "0\r\n");
  EXPECT_EQ(cmd("C 128 " + buffer + " 256"), "3\r\n");
  EXPECT_EQ(cmd("C 0 1073742338 256"), "2\r\n");
  EXPECT_EQ(cmd("C 0 " + buffer + " 100"), "6\r\n");
  EXPECT_EQ(cmd("C 512000 " + buffer + " 256"), "5\r\n");  // the boot block, 0x7D000
  EXPECT_EQ(cmd("C 0 0 256"), "4\r\n");
  EXPECT_EQ(cmd("C 0 1073742080 256"), "2\r\n");  // from the loader's own RAM
  EXPECT_EQ(cmd("C 0 " + buffer + " 256"), "9\r\n");
  EXPECT_EQ(cmd("E 0 0"), "9\r\n");
  EXPECT_EQ(cmd("P 5 27"), "7\r\n");
  EXPECT_EQ(cmd("P 3 2"), "7\r\n");
  EXPECT_EQ(cmd("I 0 30"), "7\r\n");
  EXPECT_EQ(cmd("A 2"), "12\r\n");
  EXPECT_EQ(cmd("B 1234 1"), "17\r\n");
  EXPECT_EQ(cmd("B 9600 3"), "18\r\n");
  for (const char* rate : {"9600", "19200", "38400", "57600", "115200"}) {
    for (const char* stop : {"1", "2"}) {
      EXPECT_EQ(cmd(std::string("B ") + rate + " " + stop), "0\r\n") << rate << " " << stop;
    }
  }
  EXPECT_EQ(cmd("R 2 4"), "13\r\n");
  EXPECT_EQ(cmd("R 0 6"), "6\r\n");
  EXPECT_EQ(cmd("R 524288 4"), "14\r\n");
  EXPECT_EQ(cmd("M 0 2 4"), "13\r\n");
  EXPECT_EQ(cmd("G 0 X"), "12\r\n");
  EXPECT_EQ(cmd("G 2 A"), "13\r\n");
  EXPECT_EQ(cmd("G 3758096384 A"), "14\r\n");
  EXPECT_EQ(cmd("G 512000 A"), "14\r\n");  // the boot block is no place to go
  EXPECT_EQ(cmd("G 524284 T"), "14\r\n");
  EXPECT_FALSE(loader_.go());
  EXPECT_EQ(cmd("J"), "0\r\n196389\r\n");  // still answering
}

TEST_F(Loader, AsksForABlockAgainWhenItsChecksumIsWrong) {
  std::vector<std::uint8_t> bytes(64);
  std::iota(bytes.begin(), bytes.end(), 1);
  EXPECT_EQ(write(bytes, "7\r\n"), "RESEND\r\n");
  // The host sends the block again after RESEND; the transfer is still open.
  std::string lines =
      uu({bytes.begin(), bytes.begin() + 45}) + uu({bytes.begin() + 45, bytes.end()});
  EXPECT_EQ(loader_.receive(lines), "");
  EXPECT_EQ(loader_.receive(sum_line(bytes)), "OK\r\n");
  EXPECT_EQ(cmd("M " + std::to_string(kBuffer) + " " + std::to_string(kBuffer) + " 64"), "0\r\n");
}

// After a RESEND the host sends the block again, and the blocks after it go through as if
// nothing had happened, whatever spoilt the first try.
TEST_F(Loader, TakesEveryBlockAfterOneItAskedForAgain) {
  const std::vector<std::uint8_t> data = pattern(2 * 900 + 64, 3);  // 20, 20 and 2 lines
  struct Slip {
    const char* what;
    std::size_t block;
    std::function<void(Block&)> spoil;
  };
  const Slip slips[] = {
      {"a character lost", 0, [](Block& b) { b.lines[4].erase(b.lines[4].size() - 3, 1); }},
      // 19 bytes take 7 groups of 4; the character lost carried only the padding.
      {"a last character lost", 2, [](Block& b) { b.lines[1].erase(b.lines[1].size() - 3, 1); }},
      {"a line cut short", 2, [](Block& b) { b.lines[1] = b.lines[1].substr(0, 5) + "\r\n"; }},
      {"a character changed", 1, [](Block& b) { b.lines[19][10] ^= 1; }},
      {"a shorter length", 0, [](Block& b) { b.lines[0][0] = 'L'; }},  // 44 bytes, not 45
      {"the checksum", 1, [](Block& b) { b.sum = "1" + b.sum; }},
  };
  for (const Slip& slip : slips) {
    SCOPED_TRACE(slip.what);
    restart();
    ASSERT_EQ(cmd("W " + dec(kBuffer) + " " + dec(static_cast<std::uint32_t>(data.size()))),
              "0\r\n");
    const std::vector<Block> all = blocks(data);
    ASSERT_EQ(all.size(), 3u);
    for (std::size_t b = 0; b < all.size(); ++b) {
      if (b == slip.block) {
        Block spoilt = all[b];
        slip.spoil(spoilt);
        EXPECT_EQ(send(spoilt), "RESEND\r\n");
      }
      EXPECT_EQ(send(all[b]), "OK\r\n") << "block " << b;
    }
    EXPECT_EQ(cmd("J"), "0\r\n196389\r\n");  // the transfer is over
    EXPECT_EQ(get(kBuffer, static_cast<std::uint32_t>(data.size())), data);
  }
}

// The loader keeps 0x40000120-0x400001FF for its variables, and the top of the 32 KB for itself:
// 32 bytes for flash programming and 256 bytes of stack below them, 0x40007EE0 up. The host
// writes anywhere else in RAM, right up to those edges.
TEST_F(Loader, WritesRamUpToTheLoadersOwnAndNoFurther) {
  const struct {
    std::uint32_t addr, count;
    Code code;
  } cases[] = {
      {0x40000000, 0x120, CMD_SUCCESS},  // ends where the variables begin
      {0x40000000, 0x124, ADDR_ERROR},   // one word into them
      {0x4000011C, 4, CMD_SUCCESS},
      {0x40000120, 4, ADDR_ERROR},
      {0x400001FC, 4, ADDR_ERROR},
      {0x400001FC, 8, ADDR_ERROR},
      {0x40000100, 0x200, ADDR_ERROR},  // across them
      {0x40000200, 4, CMD_SUCCESS},
      {0x40007E00, 0xE0, CMD_SUCCESS},  // ends where the stack begins
      {0x40007EDC, 4, CMD_SUCCESS},     // the last word below it
      {0x40007E00, 0xE4, ADDR_ERROR},   // one word into it
      {0x40007EE0, 4, ADDR_ERROR},
      {0x40007FE0, 32, ADDR_ERROR},      // the flash programming workspace
      {0x40007FFC, 8, ADDR_NOT_MAPPED},  // past the end of RAM
      {0x40008000, 4, ADDR_NOT_MAPPED},
      {0x3FFFFFFC, 8, ADDR_NOT_MAPPED},
      {0x40000200, 0xFFFFFFFC, ADDR_NOT_MAPPED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(dec(c.addr) + " " + dec(c.count));
    const std::string w = "W " + dec(c.addr) + " " + dec(c.count);
    if (c.code != CMD_SUCCESS) {
      EXPECT_EQ(cmd(w), dec(c.code) + "\r\n");
      continue;
    }
    const std::vector<std::uint8_t> data = pattern(c.count, c.addr >> 4);
    put(c.addr, data);
    EXPECT_EQ(get(c.addr, c.count), data);
  }
}

// Sectors 0-7 are 4 KB, 8-21 32 KB, 22-26 4 KB again; the boot block above them is no sector a
// host may name. An erase clears its sectors whole and nothing beside them.
TEST_F(Loader, ErasesWholeSectorsAndNoneBesideThem) {
  const struct {
    unsigned first, last;
    std::uint32_t begin, end;
  } ranges[] = {
      {0, 0, 0x00000, 0x01000},   {7, 8, 0x07000, 0x10000},  {21, 22, 0x70000, 0x79000},
      {26, 26, 0x7C000, 0x7D000}, {0, 26, 0x00000, 0x7D000},
  };
  for (const auto& r : ranges) {
    SCOPED_TRACE("E " + dec(r.first) + " " + dec(r.last));
    restart();
    ASSERT_EQ(cmd("U 23130"), "0\r\n");
    std::vector<std::uint32_t> inside = {r.begin, r.end - 256}, beside;
    if (r.begin > 0) beside.push_back(r.begin - 256);
    if (r.end < kUserFlashEnd) beside.push_back(r.end);
    for (std::uint32_t page : inside) program_page(page, 0x00);
    for (std::uint32_t page : beside) program_page(page, 0x00);
    const std::string range = dec(r.first) + " " + dec(r.last);
    EXPECT_EQ(cmd("I " + range), "8\r\n0\r\n0\r\n");
    EXPECT_EQ(cmd("P " + range), "0\r\n");
    EXPECT_EQ(cmd("E " + range), "0\r\n");
    EXPECT_EQ(cmd("I " + range), "0\r\n");
    const std::vector<std::uint8_t>& flash = loader_.flash().bytes();
    EXPECT_TRUE(std::all_of(flash.begin() + r.begin, flash.begin() + r.end,
                            [](std::uint8_t b) { return b == kErased; }));
    for (std::uint32_t page : beside) {
      EXPECT_TRUE(std::all_of(flash.begin() + page, flash.begin() + page + 256, [](std::uint8_t b) {
        return b == 0x00;
      })) << page;
    }
  }
  const struct {
    const char* line;
    Code code;
  } edges[] = {
      {"P 27 27", INVALID_SECTOR}, {"E 27 27", INVALID_SECTOR},
      {"I 27 27", INVALID_SECTOR}, {"P 26 27", INVALID_SECTOR},
      {"E 0 27", INVALID_SECTOR},  {"I 0 27", INVALID_SECTOR},
      {"P 1 0", INVALID_SECTOR},   {"E 26 25", INVALID_SECTOR},
      {"I 26 26", CMD_SUCCESS},    {"P 26 26", CMD_SUCCESS},
      {"E 26 26", CMD_SUCCESS},    {"E 26 26", SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},
  };
  restart();
  ASSERT_EQ(cmd("U 23130"), "0\r\n");
  for (const auto& e : edges) EXPECT_EQ(cmd(e.line), dec(e.code) + "\r\n") << e.line;
}

// M answers COMPARE_ERROR and the offset of the first word that differs, counted from the
// addresses it was given, whichever memory they lie in.
TEST_F(Loader, ReportsTheOffsetOfTheFirstMismatch) {
  constexpr std::uint32_t kCopy = kBuffer + 0x400, kFlash = 0x2000;
  const std::vector<std::uint8_t> original = pattern(512, 11);
  ASSERT_EQ(cmd("U 23130"), "0\r\n");
  put(kBuffer, original);
  ASSERT_EQ(cmd("P 2 2"), "0\r\n");
  ASSERT_EQ(cmd("C " + dec(kFlash) + " " + dec(kBuffer) + " 512"), "0\r\n");
  const struct {
    std::vector<std::uint32_t> changed;
    std::uint32_t count;
    std::string answer;
  } cases[] = {
      {{}, 512, "0\r\n"},
      {{0}, 512, "10\r\n0\r\n"},
      {{4}, 512, "10\r\n4\r\n"},
      {{7}, 512, "10\r\n4\r\n"},  // the word at 4 holds byte 7
      {{256}, 512, "10\r\n256\r\n"},
      {{300, 44}, 512, "10\r\n44\r\n"},
      {{511}, 512, "10\r\n508\r\n"},
      {{300}, 300, "0\r\n"},  // the words compared end before it
      {{300}, 304, "10\r\n300\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.changed.empty() ? "none" : dec(c.changed[0]));
    std::vector<std::uint8_t> copy = original;
    for (std::uint32_t at : c.changed) copy[at] ^= 0x40;
    put(kCopy, copy);
    const std::string count = " " + dec(c.count);
    EXPECT_EQ(cmd("M " + dec(kCopy) + " " + dec(kBuffer) + count), c.answer);
    EXPECT_EQ(cmd("M " + dec(kFlash) + " " + dec(kCopy) + count), c.answer);
    EXPECT_EQ(cmd("M " + dec(kCopy) + " " + dec(kFlash) + count), c.answer);
  }
}

// A copy or an erase protects again the sectors it touched, and only those: a second copy into
// a sector needs a P of its own, one into another prepared sector does not. A refused command
// uses up nothing.
TEST_F(Loader, APrepareLastsUntilACopyOrEraseTouchesItsSector) {
  const std::string from = " " + dec(kBuffer) + " ";
  auto c = [&](std::uint32_t dst, std::uint32_t count) {
    return "C " + dec(dst) + from + dec(count);
  };
  const std::vector<std::vector<std::pair<std::string, Code>>> sequences = {
      {{"P 0 0", CMD_SUCCESS},
       {c(0x000, 256), CMD_SUCCESS},
       {c(0x100, 256), SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},
       {"P 0 0", CMD_SUCCESS},
       {c(0x100, 256), CMD_SUCCESS}},
      {{"P 0 1", CMD_SUCCESS},
       {c(0x0000, 256), CMD_SUCCESS},
       {c(0x1000, 256), CMD_SUCCESS},
       {c(0x0200, 256), SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},
       {c(0x1100, 256), SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION}},
      {{"P 7 7", CMD_SUCCESS},
       {c(0x7800, 4096), SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},  // into sector 8 too
       {c(0x7000, 256), CMD_SUCCESS},
       {c(0x7100, 256), SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},
       {"P 7 8", CMD_SUCCESS},
       {c(0x7800, 4096), CMD_SUCCESS},
       {c(0x7200, 256), SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},
       {c(0x9000, 256), SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION}},
      {{"P 3 5", CMD_SUCCESS},
       {"E 4 4", CMD_SUCCESS},
       {c(0x4000, 256), SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},
       {c(0x3000, 256), CMD_SUCCESS},
       {c(0x5000, 256), CMD_SUCCESS},
       {"E 3 5", SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},
       {"P 3 5", CMD_SUCCESS},
       {"E 3 5", CMD_SUCCESS}},
      {{"P 0 0", CMD_SUCCESS},
       {c(0x000, 100), COUNT_ERROR},
       {c(0x080, 256), DST_ADDR_ERROR},
       {"E 0 1", SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION},
       {c(0x000, 256), CMD_SUCCESS}},
  };
  for (const auto& sequence : sequences) {
    restart();
    ASSERT_EQ(cmd("U 23130"), "0\r\n");
    put(kBuffer, std::vector<std::uint8_t>(4096, 0x5A));
    for (const auto& [line, code] : sequence) EXPECT_EQ(cmd(line), dec(code) + "\r\n") << line;
  }
  // What the last sequence copied arrived.
  EXPECT_EQ(loader_.flash().bytes()[0x00], 0x5A);
  EXPECT_EQ(loader_.flash().bytes()[0xFF], 0x5A);
  EXPECT_EQ(loader_.flash().bytes()[0x100], kErased);
}

TEST_F(Loader, ProgramsOnlyPreparedSectorsAndOnlyClearsBits) {
  ASSERT_EQ(cmd("U 23130"), "0\r\n");
  EXPECT_EQ(cmd("I 1 1"), "0\r\n");
  std::vector<std::uint8_t> page(256, 0xF0);
  program(1, page);
  EXPECT_EQ(cmd("I 1 1"), "8\r\n0\r\n" + std::to_string(0xF0F0F0F0u) + "\r\n");
  // The preparation went with the copy.
  EXPECT_EQ(cmd("C 4096 " + std::to_string(kBuffer) + " 256"), "9\r\n");
  program(1, std::vector<std::uint8_t>(256, 0x3C));
  EXPECT_EQ(loader_.flash().bytes()[0x1000], 0x30);  // 0xF0 & 0x3C: no bit set again
  EXPECT_EQ(loader_.flash().bytes()[0x0FFF], kErased);
  // Reading back: 256 bytes in 6 UU lines, then the sum, which the host acknowledges.
  const std::string read = cmd("R 4096 256");
  ASSERT_TRUE(read.starts_with("0\r\n"));
  std::vector<std::uint8_t> got;
  std::size_t at = 3;
  for (int line = 0; line < 6; ++line) {
    const std::size_t end = read.find("\r\n", at);
    const auto bytes = un_uu(read.substr(at, end - at));
    got.insert(got.end(), bytes.begin(), bytes.end());
    at = end + 2;
  }
  EXPECT_EQ(got, std::vector<std::uint8_t>(256, 0x30));
  EXPECT_EQ(read.substr(at), sum_line(got));
  EXPECT_EQ(loader_.receive("RESEND\r\n"), read.substr(3));  // the same block again
  EXPECT_EQ(loader_.receive("OK\r\n"), "");
  EXPECT_EQ(cmd("M 4096 " + std::to_string(kBuffer) + " 256"), "10\r\n0\r\n");
  EXPECT_EQ(cmd("E 1 1"), "9\r\n");
  EXPECT_EQ(cmd("P 1 1"), "0\r\n");
  EXPECT_EQ(cmd("E 1 1"), "0\r\n");
  EXPECT_EQ(cmd("I 0 2"), "0\r\n");
}

// Eight vector words, the sixth chosen so that they sum to `total`.
std::vector<std::uint8_t> vectors(std::uint32_t total) {
  std::vector<std::uint32_t> words(8, 0xE59FF018);
  words[5] = 0;
  words[5] = total - std::accumulate(words.begin(), words.end(), 0u);
  std::vector<std::uint8_t> page(256, 0xFF);
  for (std::size_t w = 0; w < words.size(); ++w) {
    for (std::size_t b = 0; b < 4; ++b) page[4 * w + b] = words[w] >> (8 * b);
  }
  return page;
}

TEST_F(Loader, StaysInTheLoaderWhenTheVectorsDoNotSumToZero) {
  ASSERT_EQ(cmd("U 23130"), "0\r\n");
  program(0, vectors(1));
  EXPECT_FALSE(loader_.flash().vectors_valid());
  EXPECT_EQ(cmd("G 0 A"), "0\r\n");
  EXPECT_FALSE(loader_.go());
  EXPECT_EQ(loader_.refused_boots(), 1u);
  // Restarted: autobaud again, locked again.
  EXPECT_EQ(cmd("J"), "");
  EXPECT_EQ(loader_.receive("?"), "Synchronized\r\n");
  loader_.receive("Synchronized\r\n");
  loader_.receive("12000\r\n");
  EXPECT_EQ(cmd("G 0 A"), "G 0 A\r\n15\r\n");
}

// The chip reset into the loader again (the host closed the port mid-session, mid-line too):
// autobaud, locked, echo on, no sector prepared, no line begun; flash and RAM keep their bytes.
TEST_F(Loader, AResetForgetsTheSessionButNotTheBytes) {
  ASSERT_EQ(cmd("U 23130"), "0\r\n");
  program_page(0x1000, 0x3C);
  ASSERT_EQ(cmd("P 1 1"), "0\r\n");
  loader_.receive("W 1073742336");
  loader_.reset();
  EXPECT_EQ(loader_.crystal_khz(), 0u);
  EXPECT_EQ(cmd("J"), "");
  EXPECT_EQ(loader_.receive("?"), "Synchronized\r\n");
  EXPECT_EQ(loader_.receive("Synchronized\r\n"), "Synchronized\r\nOK\r\n");
  EXPECT_EQ(loader_.receive("14746\r\n"), "14746\r\nOK\r\n");
  EXPECT_EQ(cmd("J"), "J\r\n0\r\n196389\r\n");
  const std::string copy = "C 4096 " + dec(kBuffer) + " 256";
  EXPECT_EQ(cmd(copy), copy + "\r\n15\r\n");
  EXPECT_EQ(cmd("U 23130"), "U 23130\r\n0\r\n");
  EXPECT_EQ(cmd(copy), copy + "\r\n9\r\n");
  EXPECT_EQ(cmd("M 4096 " + dec(kBuffer) + " 256"), "M 4096 " + dec(kBuffer) + " 256\r\n0\r\n");
  EXPECT_EQ(loader_.flash().bytes()[0x1000], 0x3C);
  EXPECT_EQ(loader_.flash().bytes()[0x0FFF], kErased);
}

TEST_F(Loader, StartsUserCodeWhoseVectorsSumToZero) {
  ASSERT_EQ(cmd("U 23130"), "0\r\n");
  ASSERT_EQ(cmd("P 0 0"), "0\r\n");
  ASSERT_EQ(cmd("E 0 0"), "0\r\n");
  program(0, vectors(0));
  EXPECT_TRUE(loader_.flash().vectors_valid());
  EXPECT_EQ(cmd("G 0 A"), "0\r\n");
  ASSERT_TRUE(loader_.go());
  EXPECT_EQ(loader_.go()->addr, 0u);
  EXPECT_EQ(cmd("J"), "");  // the loader has handed over the core
}

// G takes ARM code on a word and Thumb code on a halfword, in RAM or user flash.
TEST_F(Loader, GoesToAlignedAddressesInUserMemory) {
  const struct {
    const char* line;
    Code code;
    std::uint32_t addr;
    bool thumb;
  } cases[] = {
      {"G 6 A", ADDR_ERROR, 0, false},
      {"G 6 T", CMD_SUCCESS, 6, true},
      {"G 7 T", ADDR_ERROR, 0, false},
      {"G 1073742338 T", CMD_SUCCESS, 0x40000202, true},
      {"G 1073742340 A", CMD_SUCCESS, 0x40000204, false},
      {"G 511996 A", CMD_SUCCESS, 0x7CFFC, false},  // the last word of sector 26
      {"G 512000 A", ADDR_NOT_MAPPED, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    restart();
    ASSERT_EQ(cmd("U 23130"), "0\r\n");
    EXPECT_EQ(cmd(c.line), dec(c.code) + "\r\n");
    ASSERT_EQ(loader_.go().has_value(), c.code == CMD_SUCCESS);
    if (loader_.go()) {
      EXPECT_EQ(loader_.go()->addr, c.addr);
      EXPECT_EQ(loader_.go()->thumb, c.thumb);
    }
  }
}

// Commands and arguments thrown together at random, out of range or half-written, never crash
// the loader or make it answer anything but printable lines.
TEST_F(Loader, SurvivesAnyCommandLine) {
  const std::vector<std::string> names = {"U", "B", "A", "W", "P", "C", "E", "I",  "J",
                                          "K", "M", "G", "R", "X", "",  "?", "OK", "RESEND"};
  const std::vector<std::string> args = {
      "0",          "1",          "4",          "26", "27", "256", "4096", "23130",
      "1073742336", "1073774592", "4294967295", "-1", "A",  "T",   "`",    "M!!!!"};
  std::mt19937 random(2138);
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
  };
  for (int i = 0; i < 5000 && !loader_.go(); ++i) {
    std::string line = pick(names);
    const int n = std::uniform_int_distribution<int>(0, 4)(random);
    for (int k = 0; k < n; ++k) line += " " + pick(args);
    const std::string answer = cmd(line);
    for (char c : answer) ASSERT_TRUE(c == '\r' || c == '\n' || (c >= ' ' && c <= '~')) << line;
  }
}

TEST(FlashSectors, FollowTheLpc2138Layout) {
  EXPECT_EQ(sector_start(8), 0x8000u);
  EXPECT_EQ(sector_size(8), 0x8000u);
  EXPECT_EQ(sector_start(22), 0x78000u);
  EXPECT_EQ(sector_start(26) + sector_size(26), kUserFlashEnd);
  EXPECT_EQ(sector_of(0x77FFF), 21u);
  EXPECT_FALSE(sector_of(kUserFlashEnd));
}

}  // namespace
}  // namespace isp
