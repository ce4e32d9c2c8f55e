#include "isp/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "sim/refusal.h"

namespace isp {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

PseudoTerminal::PseudoTerminal(std::filesystem::path link) : link_(std::move(link)) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(link_, ec);
  if (fs::exists(st) && !fs::is_symlink(st)) {
    throw sim::Refusal(link_.string() + " exists and is not a symbolic link");
  }
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) fail("posix_openpt");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) fail("grantpt");
  const char* name = ::ptsname(master_);
  if (name == nullptr) fail("ptsname");
  slave_name_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY);
  if (slave_ < 0) fail(slave_name_);
  // Raw bytes both ways: no echo, no line editing, no CR/LF translation by the line discipline.
  termios t{};
  if (::tcgetattr(slave_, &t) != 0) fail("tcgetattr");
  ::cfmakeraw(&t);
  if (::tcsetattr(slave_, TCSANOW, &t) != 0) fail("tcsetattr");
  if (fs::is_symlink(st)) fs::remove(link_, ec);
  fs::create_symlink(slave_name_, link_, ec);
  if (ec) {
    close_terminal();
    throw sim::Refusal("cannot make the port " + link_.string() + ": " + ec.message());
  }
}

void PseudoTerminal::close_terminal() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
  slave_ = master_ = -1;
}

PseudoTerminal::~PseudoTerminal() {
  std::error_code ignored;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(link_, ignored))) {
    std::filesystem::remove(link_, ignored);
  }
  close_terminal();
}

std::string PseudoTerminal::read(std::chrono::milliseconds wait) {
  pollfd p{master_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0 || !(p.revents & POLLIN)) return {};
  char buf[4096];
  const ssize_t n = ::read(master_, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

void PseudoTerminal::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("write to " + slave_name_);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void PseudoTerminal::offer(std::string_view bytes) {
  while (!bytes.empty()) {
    pollfd p{master_, POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLOUT)) return;
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace isp
