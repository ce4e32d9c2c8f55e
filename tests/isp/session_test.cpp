// The boot loader's session on a real pseudo-terminal, as the host's bytes arrive: what it
// tells the user on the way, and a G that does not boot from reset.
#include "isp/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

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

}  // namespace
}  // namespace isp
