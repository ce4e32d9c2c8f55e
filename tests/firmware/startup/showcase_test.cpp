// The start-up sequences on the host build: the demo's steps, and for the showcase, each global
// frame number must run the right effect with the right frame counter, and load that effect's
// palette on its first frame only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "board/io.h"
#include "display/lcd.h"
#include "effects/catalogue.h"
#include "effects/effects.h"
#include "hw/lpc2138.h"
#include "startup/sequence.h"
#include "support/recording_bus.h"

namespace test {
namespace {

// A bus whose converter sees a triangle wave, so the audio effects trigger and draw; every
// other register reads with all bits set (PLL locked, SPI transfer done).
class TriangleBus : public RecordingBus {
 public:
  TriangleBus() {
    on_read = [this](std::uint32_t addr, unsigned) -> std::uint32_t {
      if (addr != lpc2138::AD0GDR.addr) return 0xFFFFFFFF;
      phase_ = (phase_ + kStep) % (2 * kTop);
      const std::uint32_t code = phase_ < kTop ? phase_ : 2 * kTop - phase_;
      return lpc2138::AD0GDR_DONE | code << lpc2138::AD0GDR_RESULT_SHIFT;
    };
  }

 private:
  static constexpr std::uint32_t kTop = 1023;
  static constexpr std::uint32_t kStep = 37;
  std::uint32_t phase_ = 0;
};

// What one run leaves behind: the bus traffic and the frame buffer and palette.
struct Outcome {
  std::vector<Access> writes;
  std::vector<std::uint8_t> frame;
  std::vector<std::uint16_t> palette;
};

// Runs `body` from the same start every time: zero level 512, a recognisable frame and
// palette (so a missing or extra palette load shows), fresh converter input.
Outcome run_from_known_state(const std::function<void()>& body) {
  avg = 512;
  for (int i = 0; i < kFramePixels; ++i) dispram[i] = static_cast<std::uint8_t>(i * 7);
  for (int i = 0; i < 256; ++i) pal[i] = static_cast<std::uint16_t>(0xFFF - i);
  TriangleBus bus;
  {
    ScopedBus scoped(bus);
    body();
  }
  return {bus.writes(), {dispram, dispram + kFramePixels}, {pal, pal + 256}};
}

struct Expected {
  int k;                // global showcase frame
  void (*effect)(int);  // the renderer it must run
  int n;                // with this frame counter
  int palette;          // loaded first, or -1 for none
};

void PrintTo(const Expected& e, std::ostream* os) {
  *os << "k = " << e.k;
}

class Showcase : public ::testing::TestWithParam<Expected> {};

TEST_P(Showcase, RunsTheEffectForItsFrameWithItsPalette) {
  const Expected& e = GetParam();
  const Outcome got = run_from_known_state([&] { showcase_frame(e.k); });
  const Outcome want = run_from_known_state([&] {
    if (e.palette >= 0) initpal(static_cast<std::uint8_t>(e.palette));
    e.effect(e.n);
  });
  EXPECT_EQ(got.palette, want.palette) << "k = " << e.k;
  EXPECT_EQ(got.frame, want.frame) << "k = " << e.k;
  EXPECT_TRUE(got.writes == want.writes)
      << "k = " << e.k << ": the LCD and register traffic differ";
}

// The demo: bring-up, the rainbow palette, then the plasma's frames 0 to 49.
TEST(Demo, BringsUpThenShowsFiftyPlasmaFrames) {
  const Outcome got = run_from_known_state([] { demo_sequence(); });
  const Outcome want = run_from_known_state([] {
    processor_init();
    io_init();
    lcd_init();
    calibratead();
    initpal(kPaletteRainbow);
    for (int n = 0; n < 50; ++n) effectPlasma(n);
  });
  EXPECT_EQ(got.palette, want.palette);
  EXPECT_EQ(got.frame, want.frame);
  EXPECT_TRUE(got.writes == want.writes) << "the LCD and register traffic differ";
}

// 120 frames per effect, in the catalogue's order, then again from the first: for each entry its
// first frame (with its palette), its second (without) and its last; the next cycles, and negative
// frames counting back from the end of the cycle.
std::vector<Expected> frames() {
  constexpr int kPerEffect = 120;
  const int count = static_cast<int>(std::size(kEffectCatalogue));
  const int cycle = count * kPerEffect;
  std::vector<Expected> all;
  for (int i = 0; i < count; ++i) {
    const auto render = kEffectCatalogue[i].render;
    all.push_back({i * kPerEffect, render, 0, kEffectCatalogue[i].palette});
    all.push_back({i * kPerEffect + 1, render, 1, -1});
    all.push_back({i * kPerEffect + 119, render, 119, -1});
  }
  const auto first = kEffectCatalogue[0], second = kEffectCatalogue[1];
  const auto last = kEffectCatalogue[count - 1];
  all.push_back({cycle, first.render, 0, first.palette});
  all.push_back({2 * cycle + kPerEffect + 5, second.render, 5, -1});
  all.push_back({-1, last.render, 119, -1});
  all.push_back({-cycle, first.render, 0, first.palette});
  return all;
}

INSTANTIATE_TEST_SUITE_P(Frames, Showcase, ::testing::ValuesIn(frames()),
                         [](const ::testing::TestParamInfo<Expected>& param) {
                           return (param.param.k < 0 ? "minus" + std::to_string(-param.param.k)
                                                     : "frame" + std::to_string(param.param.k));
                         });

}  // namespace
}  // namespace test
