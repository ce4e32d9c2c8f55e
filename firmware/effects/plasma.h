// The plasma's per-frame values and its fixed line, for the renderer and its tests.
#pragma once

#include <array>
#include <cstdint>

#include "display/lcd.h"
#include "dsp/sin.h"

namespace plasma {

// Two moving centres (112..143) and a phase offset (-64..63), all from the frame counter.
struct Frame {
  int x1, y1, x2, y2, b;
};
Frame frame(int n);

// The line is a wave two pixels thick, traced with a single-precision position xx that
// advances by the double nearest 0.2. Which steps round to single and which to double decides
// on which side of a pixel boundary the drifting xx falls, so each step is written out; the
// whole walk runs at compile time and the renderer only stores its pixels.
struct LinePass {
  std::array<int, 4> index;  // written in this order: 2 x 2 block on rows row and row + 1
};

template <typename Visit>
constexpr void walk_line(Visit visit) {
  constexpr float kWidth = kFrameWidth;
  constexpr float kFastWave = 20.0f;
  constexpr float kSlowWave = 50.0f;
  constexpr int kFastDivisor = 2000;
  constexpr int kSlowDivisor = 3000;
  constexpr int kMidRow = 30;
  constexpr double kAdvance = 0.2;
  float xx = 0.0f;
  while (xx < kWidth) {
    const int u = sine::sin_of(static_cast<int>(xx * kFastWave));
    const int v = sine::sin_of(static_cast<int>(xx * kSlowWave));
    const int row = u / kFastDivisor + v / kSlowDivisor + kMidRow;
    const float base = static_cast<float>(kFrameWidth * row);
    const float below = static_cast<float>(kFrameWidth * row + kFrameWidth);
    const float next = xx + 1.0f;
    // Not clipped: at xx >= 97 the right-hand pair wraps to column 0 of the next rows.
    visit(LinePass{{static_cast<int>(base + xx), static_cast<int>(below + xx),
                    static_cast<int>(next + base), static_cast<int>(next + below)}});
    xx = static_cast<float>(static_cast<double>(xx) + kAdvance);
  }
}

constexpr int count_line_passes() {
  int passes = 0;
  walk_line([&](const LinePass&) { ++passes; });
  return passes;
}

inline constexpr int kLinePasses = count_line_passes();

constexpr std::array<LinePass, kLinePasses> line_passes() {
  std::array<LinePass, kLinePasses> passes{};
  int k = 0;
  walk_line([&](const LinePass& p) { passes[k++] = p; });
  return passes;
}

using LineMask = std::array<bool, kFramePixels>;

constexpr LineMask line_mask() {
  LineMask mask{};
  walk_line([&](const LinePass& p) {
    for (int i : p.index) mask[i] = true;
  });
  return mask;
}

constexpr int count_line_pixels() {
  int count = 0;
  for (bool on : line_mask()) count += on ? 1 : 0;
  return count;
}

inline constexpr int kLinePixelCount = count_line_pixels();

// The line as vertical runs of pixels, column by column: each column holds one run, column 0
// a second one from the wrap, so this takes a third of the flash that a pixel list would.
// Every pass stores the same index, so storing each pixel once gives the same frame.
struct LineRun {
  std::uint16_t first;  // index of the top pixel
  std::uint8_t rows;
};

template <typename Visit>
constexpr void walk_runs(Visit visit) {
  const LineMask mask = line_mask();
  for (int x = 0; x < kFrameWidth; ++x) {
    for (int y = 0; y < kFrameHeight;) {
      int rows = 0;
      while (y + rows < kFrameHeight && mask[x + kFrameWidth * (y + rows)]) ++rows;
      if (rows > 0) {
        visit(LineRun{static_cast<std::uint16_t>(x + kFrameWidth * y),
                      static_cast<std::uint8_t>(rows)});
      }
      y += rows + 1;
    }
  }
}

constexpr int count_line_runs() {
  int runs = 0;
  walk_runs([&](const LineRun&) { ++runs; });
  return runs;
}

inline constexpr int kLineRunCount = count_line_runs();

constexpr std::array<LineRun, kLineRunCount> line_runs() {
  std::array<LineRun, kLineRunCount> runs{};
  int k = 0;
  walk_runs([&](const LineRun& r) { runs[k++] = r; });
  return runs;
}

}  // namespace plasma
