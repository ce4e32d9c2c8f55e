// The boot loader's session on a real pseudo-terminal, as the host's bytes arrive: what it
// tells the user on the way, and a G that does not boot from reset. The port's link: what a
// session may take and what it leaves.
#include "isp/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "isp/pseudo_terminal.h"
#include "sim/refusal.h"
#include "support/temp_dir.h"

namespace isp {
namespace {

TEST(IspSession, SaysWhatTheUserShouldKnowAndRefusesAGoElsewhere) {
  const test::TempDir dir;
  const std::string port = (dir / "tty").string();
  for (const std::string go : {"G 512 A", "G 0 T"}) {
    std::ostringstream out;
    Session session(port, 12000, out);
    const int host = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    // A host that names another crystal, boots an erased flash (its vectors sum to 8 x
    // 0xFFFFFFFF, not zero: the chip stays in the loader and autobauds again), then, in a later
    // read, starts code away from the reset vector or in Thumb state.
    const std::string sync = "?Synchronized\r\n10000\r\nU 23130\r\n";
    const std::string first = sync + "G 0 A\r\n", then = sync + go + "\r\n";
    ASSERT_EQ(::write(host, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    std::thread later([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(::write(host, then.data(), then.size()), static_cast<ssize_t>(then.size()));
    });
    try {
      session.serve();
      ADD_FAILURE() << go << " served";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                go + ": the rehearsal starts the programmed code from reset only (G 0 A)");
    }
    later.join();
    ::close(host);
    const std::string said = out.str();
    EXPECT_EQ(said.substr(said.find('\n') + 1),
              "lpcdemo isp: the host says the crystal is 10000 kHz, the board has 12000 kHz\n"
              "lpcdemo isp: G 0 A: the vector words do not sum to zero, the chip stays in the boot "
              "loader\n");
    EXPECT_EQ(
        said.find("lpcdemo isp: LPC2138 boot loader on UART0 listening at " + port + " (/dev/"), 0u)
        << said;
  }
}

TEST(IspSession, APortThatCannotBeMadeIsRefused) {
  const test::TempDir dir;
  std::ostringstream out;
  EXPECT_THROW(Session((dir / "missing/tty").string(), 12000, out), sim::Refusal);
  EXPECT_EQ(out.str(), "");
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Only a link to a pseudo-terminal that no session holds is taken, by any spelling of the path;
// anything else stays as it was. The link goes with the session unless something else has
// taken its place.
TEST(IspPort, TakesOnlyAStaleLinkToAPseudoTerminal) {
  namespace fs = std::filesystem;
  const test::TempDir dir;
  const fs::path port = dir / "tty", other = dir / "precious";
  std::ofstream(other) << "mine";
  std::optional<PseudoTerminal> live;
  struct Case {
    const char* what;
    std::function<void()> make;  // what is at the port before
    bool taken;
  };
  const Case cases[] = {
      {"nothing", [] {}, true},
      {"a killed session's link", [&] { fs::create_symlink("/dev/pts/98765", port); }, true},
      {"a regular file", [&] { std::ofstream(port) << "mine"; }, false},
      {"a link to a file", [&] { fs::create_symlink(other, port); }, false},
      {"a link to a device", [&] { fs::create_symlink("/dev/null", port); }, false},
      {"a link to the multiplexer", [&] { fs::create_symlink("/dev/pts/ptmx", port); }, false},
      {"a link to a directory of terminals", [&] { fs::create_symlink("/dev/pts/", port); },
       false},
      {"a live session's link", [&] { live.emplace(port); }, false},
      {"a live session's link, by another name",
       [&] { live.emplace(dir.path() / "." / "../" / dir.path().filename() / "tty"); }, false},
  };
  for (const Case& c : cases) {
    c.make();
    std::error_code ec;
    const fs::file_status before = fs::symlink_status(port, ec);
    const std::string target = fs::is_symlink(before) ? fs::read_symlink(port).string() : "";
    if (c.taken) {
      std::optional<PseudoTerminal> taken(std::in_place, port);
      EXPECT_EQ(fs::read_symlink(port), taken->slave_name()) << c.what;
      EXPECT_TRUE(fs::is_character_file(port)) << c.what;
      taken.reset();
      EXPECT_FALSE(fs::exists(fs::symlink_status(port))) << c.what << ": the link outlived it";
    } else {
      EXPECT_THROW(PseudoTerminal{port}, sim::Refusal) << c.what;
      EXPECT_EQ(fs::symlink_status(port).type(), before.type()) << c.what;
      if (fs::is_symlink(before)) {
        EXPECT_EQ(fs::read_symlink(port), target) << c.what;
      }
      if (fs::is_regular_file(before)) {
        EXPECT_EQ(read_text(port), "mine") << c.what;
      }
    }
    live.reset();
    fs::remove(port, ec);
    // Nothing staged beside the port is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
        << c.what;
  }
  EXPECT_EQ(read_text(other), "mine");
  // A link put in the session's place by hand is not the session's to remove.
  {
    PseudoTerminal session(port);
    fs::remove(port);
    fs::create_symlink(other, port);
  }
  EXPECT_EQ(fs::read_symlink(port), other);
}

}  // namespace
}  // namespace isp
