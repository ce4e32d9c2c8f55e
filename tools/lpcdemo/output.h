// What a run leaves behind: PNG frames, an animated GIF and the LCD word log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/lcd_model.h"

namespace runner {

// Each throws std::runtime_error with a one-line message when the file cannot be written.
void write_png(const std::string& path, const sim::LcdFrame& frame, int scale);
// delays_cs: display time of each frame in hundredths of a second. Loops forever.
void write_gif(const std::string& path, const std::vector<sim::LcdFrame>& frames,
               const std::vector<int>& delays_cs, int scale);
// 16-bit little-endian words: bits 7-0 the byte, bit 8 set for a command.
void write_words(const std::string& path, const std::vector<std::uint16_t>& words);

}  // namespace runner
