// The two library routines the compiler may call on its own, for local array initialisers
// (lcd_init's command table) and aggregate copies, and memset for the spectrum's clear of the
// frame. Only the image needs them: the image links no C library. memcpy is a byte loop, as
// no hot path reaches it; memset fills whole words, four a pass, between the ragged ends.
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
  constexpr std::uintptr_t kWordMask = 3;
  constexpr size_t kBlock = 16;  // bytes of one store-multiple
  auto* d = static_cast<std::uint8_t*>(dst);
  const auto b = static_cast<std::uint8_t>(c);
  for (; n != 0 && (reinterpret_cast<std::uintptr_t>(d) & kWordMask) != 0; --n) *d++ = b;
  // Four words in 5 clocks; the registers are fixed so the list is in ascending order.
  register std::uint32_t v0 asm("r4") = b * 0x01010101u;
  register std::uint32_t v1 asm("r5") = v0;
  register std::uint32_t v2 asm("r6") = v0;
  register std::uint32_t v3 asm("r7") = v0;
  for (; n >= kBlock; n -= kBlock) {
    asm volatile("stmia %[d]!, {%[v0], %[v1], %[v2], %[v3]}"
                 : [d] "+r"(d)
                 : [v0] "r"(v0), [v1] "r"(v1), [v2] "r"(v2), [v3] "r"(v3)
                 : "memory");
  }
  for (; n != 0; --n) *d++ = b;
  return dst;
}
}
