// The two library routines the compiler may call on its own, for local array initialisers
// (lcd_init's command table) and aggregate copies. Only the image needs them: the image links
// no C library. Byte loops suffice, since no hot path reaches them.
#include <cstdint>

using size_t = decltype(sizeof(0));

extern "C" {

void* memcpy(void* dst, const void* src, size_t n) {
  auto* d = static_cast<std::uint8_t*>(dst);
  const auto* s = static_cast<const std::uint8_t*>(src);
  while (n-- != 0) *d++ = *s++;
  return dst;
}

void* memset(void* dst, int c, size_t n) {
  auto* d = static_cast<std::uint8_t*>(dst);
  while (n-- != 0) *d++ = static_cast<std::uint8_t>(c);
  return dst;
}
}
