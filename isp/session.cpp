#include "isp/session.h"

#include <chrono>
#include <stdexcept>
#include <string>

namespace isp {
namespace {

// How long a read waits for the host: the loop sleeps in between.
constexpr std::chrono::milliseconds kReadWait{500};

}  // namespace

Session::Session(std::filesystem::path port, std::uint32_t crystal_khz, std::ostream& out)
    : port_(port), crystal_khz_(crystal_khz), out_(out) {
  out_ << "lpcdemo isp: LPC2138 boot loader on UART0 listening at " << port.string() << " ("
       << port_.slave_name() << ")" << std::endl;
}

const Flash& Session::serve() {
  unsigned refused = 0;
  std::uint32_t crystal_told = 0;
  while (!loader_.go()) {
    const std::string got = port_.read(kReadWait);
    if (got.empty()) continue;
    port_.write(loader_.receive(got));
    if (loader_.crystal_khz() != 0 && loader_.crystal_khz() != crystal_told) {
      crystal_told = loader_.crystal_khz();
      if (crystal_told != crystal_khz_) {
        out_ << "lpcdemo isp: the host says the crystal is " << crystal_told
             << " kHz, the board has " << crystal_khz_ << " kHz" << std::endl;
      }
    }
    if (loader_.refused_boots() != refused) {
      refused = loader_.refused_boots();
      out_ << "lpcdemo isp: G 0 A: the vector words do not sum to zero, the chip stays in the boot "
              "loader"
           << std::endl;
    }
  }
  const Go go = *loader_.go();
  if (go.addr != 0 || go.thumb) {
    throw std::runtime_error("G " + std::to_string(go.addr) + (go.thumb ? " T" : " A") +
                             ": the rehearsal starts the programmed code from reset only (G 0 A)");
  }
  out_ << "lpcdemo isp: G 0 A: booting the programmed flash" << std::endl;
  return loader_.flash();
}

void Session::byte(std::uint8_t byte) {
  port_.offer(std::string_view(reinterpret_cast<const char*>(&byte), 1));
}

}  // namespace isp
