// The ISP boot loader on any bytes from the host. The same bytes in pieces of any size must get
// the same answers and leave the same flash as in one piece: the first byte sets the pieces'
// size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "isp/boot_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = data[0] % 16 + 1;
  const std::string_view host(reinterpret_cast<const char*>(data + 1), size - 1);
  isp::BootLoader whole, pieces;
  const std::string answer = whole.receive(host);
  std::string answers;
  for (std::size_t at = 0; at < host.size(); at += piece) {
    answers += pieces.receive(host.substr(at, piece));
  }
  if (answers != answer || pieces.flash().bytes() != whole.flash().bytes() ||
      pieces.go().has_value() != whole.go().has_value()) {
    std::fprintf(stderr, "fuzz: the loader answered differently in pieces of %zu bytes\n", piece);
    std::abort();
  }
  return 0;
}
