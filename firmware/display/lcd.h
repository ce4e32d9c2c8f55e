// Display: the frame buffer, the palettes, the LCD controller start-up and the frame transfer.
#pragma once

#include <cstdint>

inline constexpr int kFrameWidth = 98;
inline constexpr int kFrameHeight = 67;
inline constexpr int kFramePixels = kFrameWidth * kFrameHeight;
inline constexpr std::uint8_t kBackground = 128;  // black in palette modes 0 and 1

// initpal's modes for the lower half; any other mode leaves it as it was.
inline constexpr std::uint8_t kPaletteRainbow = 0;
inline constexpr std::uint8_t kPaletteBlueWhite = 1;  // black, blue, white
inline constexpr std::uint8_t kPalettePicture = 2;    // the cake picture's colours

extern "C" {

// Palette indices, pixel (x, y) at x + 98 * y, row 0 first on the wire. 16-bit aligned: the
// spectrum effect lends its first 1024 bytes as 512 signed 16-bit values.
alignas(2) extern std::uint8_t dispram[kFramePixels];

// 12-bit colours 0xRGB; no entry ever exceeds 0xFFF.
extern std::uint16_t pal[256];

// The picture's colour map: 256 entries of red, green, blue bytes; only 0..127 are used.
extern const std::uint8_t header_data_cmap[256 * 3];

// Loads the lower half for mode i; the upper half always gets the colour ramps.
void initpal(std::uint8_t i);
void lcd_init();
void senddisp();
}
