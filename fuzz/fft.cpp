// The spectrum path: the triggered capture and transform for any number of outputs, zero level
// and converter codes, and the transform itself on any data of any size either way. The
// arrays are exactly as long as the calls may use, so AddressSanitizer sees any step past them.
// Input: outputs (1 byte), zero level (2), transform size (1), direction (1), the transform's
// data length (2) and data, then the codes, two bytes each.
#include <vector>

#include "display/lcd.h"
#include "dsp/fix_fft.h"
#include "dsp/waveops.h"
#include "firmware_harness.h"

namespace {

constexpr int kScratch = 512;     // 16-bit values SampleAndFFT works in
constexpr int kLargestLog2 = 11;  // fix_fftr's largest real transform, 2048 values

void transform(fuzz::Input& in) {
  const int m = in.take<std::uint8_t>() % (kLargestLog2 + 2);  // 0 and 12 are refused
  const bool inverse = in.take<std::uint8_t>() % 2 == 1;
  const auto raw = in.bytes(in.take<std::uint16_t>());
  std::vector<std::int16_t> f(m >= 1 && m <= kLargestLog2 ? std::size_t{1} << m : 0);
  for (std::size_t i = 0; i < f.size() && !raw.empty(); ++i) {
    const std::size_t at = 2 * i % raw.size();
    f[i] = static_cast<std::int16_t>(raw[at] | raw[(at + 1) % raw.size()] << 8);
  }
  const int scale = fix_fftr(f.data(), m, inverse);
  if ((scale < 0) != f.empty())
    fuzz::fail("fix_fftr refused a size it takes or took one it refuses");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const auto outputs = in.take<std::uint8_t>();
  const auto zero = in.take<std::uint16_t>();
  transform(in);
  fuzz::FirmwareRun run(fuzz::codes(in), zero, kPaletteRainbow);
  std::vector<std::int8_t> spectrum(outputs), wave(outputs);
  std::vector<std::int16_t> scratch(kScratch);
  run.checked([&] { SampleAndFFT(outputs, spectrum.data(), wave.data(), scratch.data()); });
  return 0;
}
