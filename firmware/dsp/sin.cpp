#include "dsp/sin.h"

static_assert(sine::quarter_wave(0) == 0 && sine::quarter_wave(1) == 201);
static_assert(sine::quarter_wave(7) == 1406);  // rounding would give 1407
static_assert(sine::quarter_wave(128) == 23169 && sine::quarter_wave(255) == 32766);
static_assert(sine::quarter_wave(256) == sine::kOne);

// Spelled out entry by entry because an extern "C" array can only take a brace list.
#define SINTAB_4(i)                                                               \
  sine::kQuarterTable[i], sine::kQuarterTable[i + 1], sine::kQuarterTable[i + 2], \
      sine::kQuarterTable[i + 3]
#define SINTAB_16(i) SINTAB_4(i), SINTAB_4(i + 4), SINTAB_4(i + 8), SINTAB_4(i + 12)
#define SINTAB_64(i) SINTAB_16(i), SINTAB_16(i + 16), SINTAB_16(i + 32), SINTAB_16(i + 48)

constinit const std::int16_t sintab[257] = {SINTAB_64(0), SINTAB_64(64), SINTAB_64(128),
                                            SINTAB_64(192), sine::kQuarterTable[256]};
static_assert(sizeof(sintab) == 514);

#undef SINTAB_64
#undef SINTAB_16
#undef SINTAB_4

std::int16_t isin(std::int16_t g) {
  return sine::fold(sintab, static_cast<std::uint16_t>(g) & sine::kAngleMask);
}

// The quarter turn is added in 16 bits, as for a caller passing g + 256 itself.
std::int16_t icos(std::int16_t g) {
  return isin(static_cast<std::int16_t>(g + sine::kQuarterTurn));
}
