#include "runner/sinks.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace runner {

WordLog::WordLog(const std::string& path)
    : path_(path), staged_(path), file_(std::fopen(staged_.temp_path().c_str(), "wb")) {
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
  staged_.commit();
}

PngFrames::PngFrames(const std::string& dir, int scale) : dir_(dir), scale_(scale) {
  namespace fs = std::filesystem;
  std::vector<std::string> missing;
  for (fs::path p = fs::absolute(dir); !fs::exists(p) && p.has_relative_path();
       p = p.parent_path()) {
    missing.push_back(p.string());
  }
  made_.assign(missing.rbegin(), missing.rend());
  try {
    fs::create_directories(dir);
  } catch (const fs::filesystem_error& e) {
    remove_made();
    throw std::runtime_error("cannot write " + dir + ": " + e.code().message());
  }
  for (const std::string& d : made_) made_temporaries_.emplace_back(d, true);
}

PngFrames::~PngFrames() {
  if (finished_) return;
  frames_.clear();
  remove_made();
}

void PngFrames::remove_made() {
  std::error_code ec;  // a directory something else has filled meanwhile stays
  for (auto d = made_.rbegin(); d != made_.rend(); ++d) std::filesystem::remove(*d, ec);
  made_temporaries_.clear();
}

std::string PngFrames::name(std::size_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "frame%04zu.png", n);
  return text;
}

void PngFrames::frame(const sim::LcdFrame& frame, std::uint64_t, double) {
  StagedFile& png =
      frames_.emplace_back((std::filesystem::path(dir_) / name(frames_.size())).string());
  write_png(png.temp_path(), frame, scale_);
}

void PngFrames::finish() {
  for (StagedFile& png : frames_) png.commit();
  made_temporaries_.clear();  // they are the run's directories now
  finished_ = true;
}

PngFrames::Older PngFrames::older() const {
  Older o;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) {
    // frameNNNN.png, as frame() names them, numbered from this run's count on.
    const std::string file = e.path().filename().string();
    constexpr std::string_view kStem = "frame", kSuffix = ".png";
    if (file.size() <= kStem.size() + kSuffix.size() || !file.starts_with(kStem) ||
        !file.ends_with(kSuffix)) {
      continue;
    }
    const std::string digits =
        file.substr(kStem.size(), file.size() - kStem.size() - kSuffix.size());
    if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::size_t n = std::stoull(digits);
    if (file != name(n) || n < frames_.size()) continue;
    o.first = o.count == 0 ? n : std::min(o.first, n);
    o.last = o.count == 0 ? n : std::max(o.last, n);
    ++o.count;
  }
  return o;
}

UartLog::UartLog(const std::string& path, std::ostream& terminal) : path_(path) {
  if (path == "-") {
    terminal_ = &terminal;
    return;
  }
  staged_.emplace(path);
  file_.reset(std::fopen(staged_->temp_path().c_str(), "wb"));
  if (!file_) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

void UartLog::byte(std::uint8_t b) {
  if (file_) {
    std::putc(b, file_.get());
    return;
  }
  terminal_->put(static_cast<char>(b));
  if (b == '\n') terminal_->flush();
}

void UartLog::finish() {
  if (terminal_ != nullptr) {
    terminal_->flush();
    return;
  }
  std::FILE* f = file_.release();
  const bool failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || failed) {
    throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
  }
  staged_->commit();
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
