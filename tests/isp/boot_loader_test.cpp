// The boot loader as a host meets it: synchronisation, return codes for wrong commands and
// arguments, UU-encoded transfers with their checksums, the flash's rules and the boot check.
#include "isp/boot_loader.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(cmd("R 2 4"), "13\r\n");
  EXPECT_EQ(cmd("R 0 6"), "6\r\n");
  EXPECT_EQ(cmd("R 524288 4"), "14\r\n");
  EXPECT_EQ(cmd("M 0 2 4"), "13\r\n");
  EXPECT_EQ(cmd("G 0 X"), "12\r\n");
  EXPECT_EQ(cmd("G 2 A"), "13\r\n");
  EXPECT_EQ(cmd("G 3758096384 A"), "14\r\n");
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
