#include "runner/sinks.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace runner {

WordLog::WordLog(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
  if (!file_) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

void WordLog::word(std::uint16_t w) {
  std::putc(w & 0xFF, file_.get());
  std::putc(w >> 8, file_.get());
}

void WordLog::finish() {
  std::FILE* f = file_.release();
  const bool failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || failed) {
    throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
  }
}

PngFrames::PngFrames(const std::string& dir, int scale) : dir_(dir), scale_(scale) {
  std::filesystem::create_directories(dir);
}

void PngFrames::frame(const sim::LcdFrame& frame, std::uint64_t, double) {
  char name[32];
  std::snprintf(name, sizeof name, "frame%04zu.png", written_++);
  write_png((std::filesystem::path(dir_) / name).string(), frame, scale_);
}

GifAnimation::GifAnimation(const std::string& path, int scale, int fallback_cs)
    : gif_(path, scale), pacer_(fallback_cs) {}

void GifAnimation::frame(const sim::LcdFrame& frame, std::uint64_t cclk, double cclk_hz) {
  if (auto shown_cs = pacer_.arrive(cclk, cclk_hz)) gif_.add(*pending_, *shown_cs);
  pending_ = frame;
}

void GifAnimation::finish() {
  if (pending_) gif_.add(*pending_, pacer_.last());
  gif_.close();
}

}  // namespace runner
