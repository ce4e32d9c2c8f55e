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
// GIF delays that replay frames at the pace they arrived: frame i shows until frame i + 1
// arrives, the last as long as the one before. Rounded on the running total, so a long GIF
// keeps the board's pace; never below the 2 cs that viewers honour. Without usable times
// (fewer than two frames, or no clock) every frame gets `fallback_cs`.
std::vector<int> frame_delays_cs(const std::vector<std::uint64_t>& arrived_at, double clock_hz,
                                 int fallback_cs);

// Checked before a run, so that a long run does not end in a file it cannot write. Each throws
// std::invalid_argument naming the path and the system's reason, and leaves nothing behind.
void check_writable_file(const std::string& path);
// A directory that exists and can be written, or one that can be made.
void check_writable_dir(const std::string& path);

// 16-bit little-endian words: bits 7-0 the byte, bit 8 set for a command.
void write_words(const std::string& path, const std::vector<std::uint16_t>& words);

}  // namespace runner
