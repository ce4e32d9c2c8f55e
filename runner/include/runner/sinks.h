// A run's outputs, fed by the board as the LCD receives each word and completes each frame:
// files grow as the run goes, and the run's memory does not. Each is written under temporary
// names and takes its own only at finish(): one dropped before then leaves nothing behind.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

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
  std::string path_;
  StagedFile staged_;
  File file_;
};

// frame0000.png, frame0001.png, ... in a directory made if need be.
class PngFrames final : public sim::LcdSink {
 public:
  PngFrames(const std::string& dir, int scale);
  ~PngFrames();  // before finish(): removes the frames and the directories it made
  PngFrames(const PngFrames&) = delete;
  PngFrames& operator=(const PngFrames&) = delete;
  void word(std::uint16_t) override {}
  void frame(const sim::LcdFrame& frame, std::uint64_t, double) override;
  void finish();  // gives every frame its name; throws std::runtime_error
  // Frame n's file name in the directory: frame0007.png.
  static std::string name(std::size_t n);
  // Once finished: the frames of an earlier run that the directory holds after this run's last,
  // which are left as they were, and the first and last of their numbers.
  struct Older {
    std::size_t count = 0;
    std::size_t first = 0, last = 0;
  };
  Older older() const;

 private:
  void remove_made();

  std::string dir_;
  int scale_;
  std::vector<std::string> made_;  // directories made, outermost first
  std::vector<Temporary> made_temporaries_;
  std::vector<StagedFile> frames_;
  bool finished_ = false;
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

// UART0's bytes as they leave TXD0: into a file, or for the path "-" to `terminal` (standard
// output), flushed at the end of each line.
class UartLog final : public sim::UartSink {
 public:
  UartLog(const std::string& path, std::ostream& terminal);
  void byte(std::uint8_t byte) override;
  void finish();  // throws std::runtime_error if the file could not be completed

 private:
  std::string path_;
  std::ostream* terminal_ = nullptr;  // or:
  std::optional<StagedFile> staged_;
  File file_;
};

}  // namespace runner
