// The cycle report on the real image: its figures hang together and respect the floor that
// the serial link and the converter set.
#include "emu/bench.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <sstream>

#include "effects/catalogue.h"

namespace emu {
namespace {

const std::string kImage = LPCDEMO_BINARY_DIR "/image/lpcdemo.elf";
const std::string kFlashImage = LPCDEMO_BINARY_DIR "/image/lpcdemo.bin";

constexpr double kWordsPerFrame = 1 + 6566 * 3 / 2;  // frame start, then 2 pixels in 3 bytes
constexpr double kLinkClocks = kWordsPerFrame * 72;  // PCLK = CCLK after bring-up
constexpr double kConversionClocks = 11 * 256;
constexpr double kCoreHz = 3 * 12e6;

class Bench : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::filesystem::exists(kImage)) report_ = new BenchReport(measure_bench(kImage, 2));
  }
  static void TearDownTestSuite() {
    delete report_;
    report_ = nullptr;
  }
  void SetUp() override {
    if (!report_) GTEST_SKIP() << "the image is not built";
  }
  static BenchReport* report_;
};
BenchReport* Bench::report_ = nullptr;

// Every entry of the firmware's catalogue, in its order.
TEST_F(Bench, EveryEffectIsMeasured) {
  ASSERT_EQ(report_->effects.size(), std::size(kEffectCatalogue));
  for (std::size_t i = 0; i < std::size(kEffectCatalogue); ++i) {
    EXPECT_EQ(report_->effects[i].name, kEffectCatalogue[i].name);
  }
  EXPECT_TRUE(report_->findings.empty()) << report_->findings.front();
}

TEST_F(Bench, FramesRespectTheLinkAndConverterFloor) {
  for (const EffectCost& c : report_->effects) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.words, kWordsPerFrame);
    EXPECT_DOUBLE_EQ(c.cclk_hz, kCoreHz);
    EXPECT_DOUBLE_EQ(c.bound, kLinkClocks + c.conversions * kConversionClocks);
    EXPECT_GE(c.ratio, 1.0);
    EXPECT_DOUBLE_EQ(c.render + c.serial + c.adc_wait, c.cycles);
    // Every word's 72 clocks pass inside the link's code, every conversion inside a poll
    // (less the few clocks between its start and the first read).
    EXPECT_GE(c.serial, kLinkClocks);
    EXPECT_GE(c.adc_wait, c.conversions * (kConversionClocks - 16));
    EXPECT_DOUBLE_EQ(c.fps, kCoreHz / c.cycles);
    EXPECT_GT(c.instructions, kWordsPerFrame);
  }
  // An effect samples the converter in its frames exactly when the catalogue says that its
  // picture follows the audio input (the plasma and the cake sample nothing).
  ASSERT_EQ(report_->effects.size(), std::size(kEffectCatalogue));
  for (std::size_t i = 0; i < report_->effects.size(); ++i) {
    EXPECT_EQ(report_->effects[i].conversions > 0, kEffectCatalogue[i].audio == Audio::kShown)
        << report_->effects[i].name;
  }
  EXPECT_EQ(report_->effects[0].conversions, 0);
  EXPECT_EQ(report_->effects[1].conversions, 0);
}

TEST_F(Bench, MemoryFiguresMatchTheImage) {
  if (std::filesystem::exists(kFlashImage)) {
    EXPECT_EQ(report_->flash_bytes, std::filesystem::file_size(kFlashImage));
  }
  EXPECT_EQ(report_->ram_bytes, 0x40001CD4u - 0x40000120u);  // _data .. _bss_end
  EXPECT_EQ(report_->stack_capacity, 0x40001FC8u - 0x40001CD4u);
  EXPECT_GT(report_->stack_bytes, 0u);
  EXPECT_LE(report_->stack_bytes, report_->stack_capacity);
}

TEST_F(Bench, PrintsATableAndJson) {
  std::ostringstream table, json;
  print_bench(*report_, false, table);
  print_bench(*report_, true, json);
  for (const EffectCost& c : report_->effects) {
    EXPECT_NE(table.str().find("\n" + c.name + " "), std::string::npos) << c.name;
    EXPECT_NE(json.str().find("\"name\": \"" + c.name + "\""), std::string::npos) << c.name;
  }
  EXPECT_NE(json.str().find("\"cycles_per_second\""), std::string::npos);
  EXPECT_EQ(json.str().front(), '{');
  EXPECT_EQ(json.str().substr(json.str().size() - 2), "}\n");
}

}  // namespace
}  // namespace emu
