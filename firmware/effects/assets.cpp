// Placeholder assets until the generated picture and text mask arrive.
#include <cstdint>

#include "display/lcd.h"
#include "effects/effects.h"

extern "C" {
const std::uint8_t header_data_cmap[256 * 3] = {};
const std::uint8_t header_data[150 * 102] = {};
const std::uint8_t txtdata[400 * 10] = {};
std::uint32_t txtwidth = 400;
std::uint32_t height = 102;
std::uint32_t width = 150;
}
