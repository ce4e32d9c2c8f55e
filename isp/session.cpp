#include "isp/session.h"

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>

namespace isp {
namespace {

// How long a read waits for the host: the loop sleeps in between.
constexpr std::chrono::milliseconds kReadWait{500};

// The signal that asked the session to end, 0 while none has.
volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_session_signal(int signal) {
  g_signal = signal;
}

}  // namespace

Session::TakesSignals::TakesSignals() {
  g_signal = 0;
  struct sigaction action {};
  action.sa_handler = on_session_signal;
  // No SA_RESTART: the wait for the host ends at once. The second signal ends the process.
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

Session::TakesSignals::~TakesSignals() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

Session::Session(std::filesystem::path port, std::uint32_t crystal_khz, std::ostream& out)
    : port_(port), crystal_khz_(crystal_khz), out_(out) {
  out_ << "lpcdemo isp: LPC2138 boot loader on UART0 listening at " << port.string() << " ("
       << port_.slave_name() << ")" << std::endl;
}

Session::~Session() = default;

int Session::interrupted() const {
  return g_signal;
}

const Flash& Session::serve() {
  unsigned refused = 0;
  std::uint32_t crystal_told = 0;
  while (!loader_.go()) {
    if (g_signal != 0) throw Interrupted{g_signal};
    const PseudoTerminal::Received got = port_.read(kReadWait);
    // What a host sent before it closed the port still reaches the chip; its answers no one.
    const std::string answer = loader_.receive(got.bytes);
    if (!got.host_left) port_.write(answer);
    if (got.host_left && !loader_.go()) {
      loader_.reset();
      out_ << "lpcdemo isp: the host closed the port before G: the chip is reset into its boot "
              "loader, waiting for \"?\""
           << std::endl;
    }
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
  port_.write(std::string_view(reinterpret_cast<const char*>(&byte), 1));
}

}  // namespace isp
