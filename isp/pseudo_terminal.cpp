#include "isp/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "sim/refusal.h"

namespace isp {
namespace {

namespace fs = std::filesystem;

// How long a read sleeps while no host has the port open: the kernel says nothing when one
// opens it, so the loader looks again after this.
constexpr std::chrono::milliseconds kNoHostSleep{40};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The target of the link at `path`; none when there is no link there.
std::optional<std::string> link_target(const fs::path& path) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(path, ec);
  if (ec) return std::nullopt;
  return target.string();
}

// A slave of the system's pseudo-terminals, by the name ptsname gives: what a session links to.
bool names_pseudo_terminal(const std::string& target) {
  constexpr std::string_view kPts = "/dev/pts/";
  const std::string_view number =
      std::string_view(target).substr(std::min(target.size(), kPts.size()));
  return target.starts_with(kPts) && !number.empty() &&
         std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Refuses what is at `path` unless it is a link to a pseudo-terminal, which may be replaced.
void check_replaceable(const fs::path& path) {
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(path, ec);
  if (!fs::exists(st)) return;
  if (!fs::is_symlink(st)) {
    throw sim::Refusal(path.string() + " exists and is not a symbolic link");
  }
  const auto target = link_target(path);
  if (target && !names_pseudo_terminal(*target)) {
    throw sim::Refusal(path.string() + " is a link to " + *target +
                       ", not to a pseudo-terminal: it is left alone");
  }
}

// The path is this process's while the returned socket is open: a name in the abstract socket
// namespace, bound by one process at a time and freed by the kernel however the process ends,
// so that a killed session leaves nothing that would hold the path. A second session at the
// same path is refused.
int claim(const fs::path& link) {
  std::error_code ec;
  fs::path where = fs::absolute(link, ec);
  if (!ec) where = fs::weakly_canonical(where.parent_path(), ec) / where.filename();
  if (ec) where = link;
  std::string name = "lpcdemo isp " + where.string();
  sockaddr_un addr{};
  if (name.size() + 1 > sizeof addr.sun_path) {
    // Too long to be the name: a hash of it stands in (FNV-1a, 64 bits).
    std::uint64_t h = 0xcbf29ce484222325u;
    for (unsigned char c : name) h = (h ^ c) * 0x100000001b3u;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    name = "lpcdemo isp #" + std::string(hex);
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0) return fd;
  const int error = errno;
  ::close(fd);
  if (error == EADDRINUSE) {
    throw sim::Refusal(link.string() + " is the port of a session that is still running");
  }
  errno = error;
  fail("cannot claim the port " + link.string());
}

// Puts a link to `target` at `link` in one step: nothing there, or a link to a pseudo-terminal
// that is exchanged for the new one and then removed. An entry that took the old one's place
// since it was checked is put back, untouched, and refused.
void make_link(const fs::path& link, const std::string& target) {
  const auto refuse = [&link](const std::string& why) {
    throw sim::Refusal("cannot make the port " + link.string() + ": " + why);
  };
  if (::symlink(target.c_str(), link.c_str()) == 0) return;
  if (errno != EEXIST) refuse(std::strerror(errno));
  check_replaceable(link);
  const fs::path staged = link.string() + ".lpcdemo-" + std::to_string(::getpid());
  ::unlink(staged.c_str());
  if (::symlink(target.c_str(), staged.c_str()) != 0) refuse(std::strerror(errno));
  if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0) {
    // `staged` now names what was at `link`.
    try {
      check_replaceable(staged);
    } catch (const sim::Refusal&) {
      ::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
      ::unlink(staged.c_str());
      check_replaceable(link);  // refuses with what is there
      throw;
    }
    ::unlink(staged.c_str());
    return;
  }
  // Gone since the check, or a file system that cannot exchange: a rename, still one step.
  if ((errno == ENOENT || errno == EINVAL) && ::rename(staged.c_str(), link.c_str()) == 0) {
    return;
  }
  const int error = errno;
  ::unlink(staged.c_str());
  refuse(std::strerror(error));
}

// Raw bytes both ways: no echo, no line editing, no CR/LF translation by the line discipline.
void make_raw(int fd, const std::string& name) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) fail("tcgetattr " + name);
  ::cfmakeraw(&t);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) fail("tcsetattr " + name);
}

}  // namespace

PseudoTerminal::PseudoTerminal(std::filesystem::path link) : link_(std::move(link)) {
  claim_ = claim(link_);
  try {
    check_replaceable(link_);
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) fail("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) fail("grantpt");
    const char* name = ::ptsname(master_);
    if (name == nullptr) fail("ptsname");
    slave_name_ = name;
    // The slave is open only while a host has it: its closing is how the loader learns that the
    // host has gone.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) fail(slave_name_);
    make_raw(slave, slave_name_);
    ::close(slave);
    make_link(link_, slave_name_);
  } catch (...) {
    close_terminal();
    throw;
  }
}

void PseudoTerminal::close_terminal() {
  if (master_ >= 0) ::close(master_);
  if (claim_ >= 0) ::close(claim_);
  master_ = claim_ = -1;
}

PseudoTerminal::~PseudoTerminal() {
  // Another link may have been put there since (by hand): that one is not the session's.
  if (link_target(link_) == slave_name_) ::unlink(link_.c_str());
  close_terminal();
}

void PseudoTerminal::discard_unread() {
  // The answers the host did not read, which the slave holds.
  ::tcflush(master_, TCIOFLUSH);
  const int slave = ::open(slave_name_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return;
  ::tcflush(slave, TCIOFLUSH);
  // A host may have left it cooked.
  termios t{};
  if (::tcgetattr(slave, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  ::close(slave);
}

PseudoTerminal::Received PseudoTerminal::read(std::chrono::milliseconds wait) {
  Received got;
  pollfd p{master_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return got;
  char buf[4096];
  if (!(p.revents & POLLHUP)) {
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) {
      host_ = true;
      got.bytes.assign(buf, static_cast<std::size_t>(n));
      return got;
    }
    if (n == 0 || errno != EIO) return got;  // EIO: the slave has just been closed
  }
  // No host has the slave open. What the last one sent before it closed it is all there is.
  ssize_t n;
  while ((n = ::read(master_, buf, sizeof buf)) > 0) {
    got.bytes.append(buf, static_cast<std::size_t>(n));
  }
  if (host_ || !got.bytes.empty()) {
    host_ = false;
    got.host_left = true;
    discard_unread();
  } else {
    ::poll(nullptr, 0, static_cast<int>(std::min(wait, kNoHostSleep).count()));
  }
  return got;
}

void PseudoTerminal::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    // Full (EAGAIN) or no host (EIO): the rest is lost.
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace isp
