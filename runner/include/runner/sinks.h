// A run's outputs, fed by the board as the LCD receives each word and completes each frame:
// files grow as the run goes, and the run's memory does not.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "runner/output.h"
#include "sim/board.h"

namespace runner {

// Every word the LCD received, 16-bit little-endian: bits 7-0 the byte, bit 8 set for a command.
class WordLog final : public sim::LcdSink {
 public:
  explicit WordLog(const std::string& path);
  void word(std::uint16_t word) override;
  void frame(const sim::LcdFrame&, std::uint64_t, double) override {}
  void finish();  // throws std::runtime_error if the file could not be completed

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::string path_;
  std::unique_ptr<std::FILE, Closer> file_;
};

// frame0000.png, frame0001.png, ... in a directory made if need be.
class PngFrames final : public sim::LcdSink {
 public:
  PngFrames(const std::string& dir, int scale);
  void word(std::uint16_t) override {}
  void frame(const sim::LcdFrame& frame, std::uint64_t, double) override;

 private:
  std::string dir_;
  int scale_;
  std::size_t written_ = 0;
};

// An animated GIF that replays the frames at the pace they arrived. A frame is written once the
// next one arrives, when its display time is known.
class GifAnimation final : public sim::LcdSink {
 public:
  // fallback_cs: each frame's display time when the board has no clock.
  GifAnimation(const std::string& path, int scale, int fallback_cs);
  void word(std::uint16_t) override {}
  void frame(const sim::LcdFrame& frame, std::uint64_t cclk, double cclk_hz) override;
  void finish();  // writes the last frame; throws std::runtime_error as GifWriter does

 private:
  GifWriter gif_;
  FramePacer pacer_;
  std::optional<sim::LcdFrame> pending_;
};

}  // namespace runner
