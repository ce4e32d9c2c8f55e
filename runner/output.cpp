#include "runner/output.h"

#include "runner/sinks.h"

#include <fcntl.h>
#include <gif_lib.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "sim/refusal.h"

namespace runner {
namespace {

// The LCD pixel at (x, y) of the picture enlarged `scale` times.
std::uint16_t scaled_pixel(const sim::LcdFrame& frame, int x, int y, int scale) {
  return frame[static_cast<std::size_t>((y / scale) * sim::kLcdWidth + x / scale)];
}

std::runtime_error write_error(const std::string& path, const std::string& why) {
  return std::runtime_error("cannot write " + path + ": " + why);
}

sim::Refusal unwritable(const std::string& path, const std::string& why) {
  return sim::Refusal("cannot write " + path + ": " + why);
}

// A name for a file being written beside `target`: hidden, with this process's id, and free.
// Failures name `shown`, the path as the user gave it.
std::string make_temp_beside(const std::string& target, const std::string& shown) {
  const std::filesystem::path p(target);
  const std::string stem = "." + p.filename().string() + ".lpcdemo-" + std::to_string(::getpid());
  for (int attempt = 0;; ++attempt) {
    const std::string name = stem + (attempt == 0 ? "" : "-" + std::to_string(attempt));
    const std::string temp = (p.parent_path() / name).string();
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      ::close(fd);
      return temp;
    }
    if (errno != EEXIST) throw write_error(shown, std::strerror(errno));
  }
}

// The path with its symbolic links followed, the last one's target whether it exists or not: the
// file a write through the link would reach.
std::string follow_links(const std::string& path) {
  namespace fs = std::filesystem;
  constexpr int kMostLinks = 40;  // as the kernel follows them
  fs::path p = path;
  std::error_code ec;
  for (int hops = 0; fs::is_symlink(fs::symlink_status(p, ec)); ++hops) {
    if (hops == kMostLinks) throw write_error(path, std::strerror(ELOOP));
    const fs::path to = fs::read_symlink(p, ec);
    if (ec) throw write_error(path, ec.message());
    p = to.is_absolute() ? to : p.parent_path() / to;
  }
  return p.string();
}

// Written in place: something that exists and is no regular file (/dev/null, a pipe).
bool written_in_place(const std::string& target) {
  struct stat st {};
  return ::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// Temporaries, newest first. An entry once made stays in the list (a later path reuses it), so
// a signal handler can walk the list whatever the code it interrupted was doing: an entry is
// live only while its path is complete.
std::atomic<Temporary::Entry*> g_temporaries{nullptr};
std::mutex g_reuse_mutex;
std::vector<Temporary::Entry*> g_reusable;  // under g_reuse_mutex

}  // namespace

struct Temporary::Entry {
  std::string path;
  bool directory = false;
  std::atomic<bool> live = false;
  Entry* next = nullptr;
};

Temporary::Temporary(const std::string& path, bool directory) {
  {
    const std::lock_guard lock(g_reuse_mutex);
    if (!g_reusable.empty()) {
      entry_ = g_reusable.back();
      g_reusable.pop_back();
    }
  }
  const bool fresh = entry_ == nullptr;
  if (fresh) entry_ = new Entry;
  entry_->path = path;
  entry_->directory = directory;
  entry_->live.store(true, std::memory_order_release);
  if (fresh) {
    entry_->next = g_temporaries.load(std::memory_order_relaxed);
    while (!g_temporaries.compare_exchange_weak(entry_->next, entry_, std::memory_order_release)) {
    }
  }
}

Temporary& Temporary::operator=(Temporary&& other) noexcept {
  if (this != &other) {
    release();
    entry_ = std::exchange(other.entry_, nullptr);
  }
  return *this;
}

void Temporary::release() {
  if (entry_ == nullptr) return;
  entry_->live.store(false, std::memory_order_release);
  const std::lock_guard lock(g_reuse_mutex);
  g_reusable.push_back(std::exchange(entry_, nullptr));
}

void remove_temporaries() noexcept {
  Temporary::Entry* const first = g_temporaries.load(std::memory_order_acquire);
  int directories = 0;
  for (Temporary::Entry* e = first; e != nullptr; e = e->next) {
    if (!e->live.load(std::memory_order_acquire)) continue;
    if (e->directory) {
      ++directories;
    } else {
      ::unlink(e->path.c_str());
    }
  }
  // A directory goes once the ones made inside it have gone: as many rounds as there are.
  for (int round = 0; round < directories; ++round) {
    for (Temporary::Entry* e = first; e != nullptr; e = e->next) {
      if (e->directory && e->live.load(std::memory_order_acquire)) ::rmdir(e->path.c_str());
    }
  }
}

StagedFile::StagedFile(std::string path) : path_(std::move(path)), target_(follow_links(path_)) {
  if (written_in_place(target_)) {
    temp_ = path_;
    return;
  }
  temp_ = make_temp_beside(target_, path_);
  temporary_ = Temporary(temp_, false);
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : path_(std::move(other.path_)),
      target_(std::move(other.target_)),
      temp_(std::exchange(other.temp_, {})),
      temporary_(std::move(other.temporary_)) {}

StagedFile::~StagedFile() {
  if (!temp_.empty() && temp_ != path_) ::unlink(temp_.c_str());
}

void StagedFile::commit() {
  if (temp_ != path_ && std::rename(temp_.c_str(), target_.c_str()) != 0) {
    throw write_error(path_, std::strerror(errno));
  }
  temporary_.release();
  temp_.clear();
}

void check_writable_file(const std::string& path) {
  try {
    const std::string target = follow_links(path);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
      // A file there must take writes as it is (a read-only one is not replaced either), and a
      // directory in the way is named by the system.
      const int fd = ::open(target.c_str(), O_WRONLY);
      if (fd < 0) throw unwritable(path, std::strerror(errno));
      ::close(fd);
      if (!S_ISREG(st.st_mode)) return;  // written in place
    }
    // Making the temporary file where the run makes it asks everything the write will meet
    // (permissions, a read-only file system, a directory in the way).
    ::unlink(make_temp_beside(target, path).c_str());
  } catch (const std::runtime_error& e) {
    throw sim::Refusal(e.what());
  }
}

void check_writable_dir(const std::string& path) {
  namespace fs = std::filesystem;
  // The directory itself, or the nearest ancestor that exists, which the write will fill.
  fs::path p = fs::absolute(path);
  std::error_code ec;
  std::vector<fs::path> missing;  // innermost first
  for (; !fs::exists(p, ec) && p.has_relative_path(); p = p.parent_path()) missing.push_back(p);
  if (!fs::is_directory(p, ec)) throw unwritable(path, p.string() + " is not a directory");
  // Made as the run makes it, with a frame's temporary file in it, and all removed again.
  std::vector<fs::path> made;
  const auto remove_made = [&] {
    for (auto d = made.rbegin(); d != made.rend(); ++d) fs::remove(*d, ec);
  };
  for (auto d = missing.rbegin(); d != missing.rend(); ++d) {
    if (::mkdir(d->c_str(), 0777) != 0) {
      const int error = errno;
      remove_made();
      throw unwritable(path, std::strerror(error));
    }
    made.push_back(*d);
  }
  try {
    ::unlink(make_temp_beside((fs::path(path) / "frame0000.png").string(), path).c_str());
  } catch (const std::runtime_error& e) {
    remove_made();
    throw sim::Refusal(e.what());
  }
  remove_made();
}

void write_png(const std::string& path, const sim::LcdFrame& frame, int scale) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) throw write_error(path, std::strerror(errno));

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    throw write_error(path, "out of memory");
  }
  const int w = sim::kLcdWidth * scale;
  const int h = sim::kLcdHeight * scale;
  std::vector<png_byte> row(static_cast<std::size_t>(w) * 3);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw write_error(path, "libpng failed");
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Rgb c = rgb(scaled_pixel(frame, x, y, scale));
      png_byte* p = &row[static_cast<std::size_t>(x) * 3];
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0) throw write_error(path, "write failed");
}

namespace {

constexpr int kDefaultDelayCs = 4;  // with no delays given at all: 25 frames a second

// Colour map of one frame. A frame comes through a 256-entry palette, so it never holds more
// than 256 colours; giflib wants a power-of-two map size.
ColorMapObject* frame_colours(const sim::LcdFrame& frame, std::map<std::uint16_t, int>& index) {
  index.clear();
  for (auto c : frame) index.emplace(c, 0);
  if (index.size() > 256) throw std::runtime_error("frame has more than 256 colours");
  int size = 2;
  while (size < static_cast<int>(index.size())) size *= 2;
  ColorMapObject* map = GifMakeMapObject(size, nullptr);
  int i = 0;
  for (auto& [c, slot] : index) {
    slot = i;
    const Rgb k = rgb(c);
    map->Colors[i] = {k.r, k.g, k.b};
    ++i;
  }
  for (; i < size; ++i) map->Colors[i] = {0, 0, 0};
  return map;
}

// giflib's reason, with the system's when the write or close itself failed.
std::string gif_reason(int error) {
  const std::string reason = GifErrorString(error);
  if (error != E_GIF_ERR_WRITE_FAILED && error != E_GIF_ERR_CLOSE_FAILED) return reason;
  return reason + ": " + std::strerror(errno);
}

void put_loop_forever(GifFileType* gif) {
  static const GifByteType app[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
  static const GifByteType loop[] = {1, 0, 0};  // sub-block 1, repeat count 0: forever
  EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
  EGifPutExtensionBlock(gif, sizeof app, app);
  EGifPutExtensionBlock(gif, sizeof loop, loop);
  EGifPutExtensionTrailer(gif);
}

}  // namespace

GifWriter::GifWriter(const std::string& path, int scale)
    : path_(path), scale_(scale), staged_(path) {
  // Opened here rather than by giflib, which would create the file readable by its owner only.
  const int fd = ::open(staged_.temp_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) throw write_error(path, std::strerror(errno));
  int err = 0;
  gif_ = EGifOpenFileHandle(fd, &err);  // owns fd now
  if (gif_ == nullptr) {
    ::close(fd);
    throw write_error(path, GifErrorString(err));
  }
  EGifSetGifVersion(gif_, true);
  if (EGifPutScreenDesc(gif_, width(), height(), 8, 0, nullptr) == GIF_ERROR) fail();
  put_loop_forever(gif_);
}

GifWriter::~GifWriter() {
  abandon();
}

void GifWriter::abandon() {
  if (gif_ != nullptr) EGifCloseFile(gif_, nullptr);
  gif_ = nullptr;
}

void GifWriter::fail() {
  const std::string reason = gif_reason(gif_->Error);
  abandon();
  throw write_error(path_, reason);
}

void GifWriter::add(const sim::LcdFrame& frame, int delay_cs) {
  GraphicsControlBlock gcb{};
  gcb.DisposalMode = DISPOSE_DO_NOT;
  gcb.DelayTime = delay_cs;
  gcb.TransparentColor = NO_TRANSPARENT_COLOR;
  GifByteType ext[4];
  const std::size_t n = EGifGCBToExtension(&gcb, ext);
  EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(n), ext);

  std::map<std::uint16_t, int> index;
  ColorMapObject* map = frame_colours(frame, index);
  const int rc = EGifPutImageDesc(gif_, 0, 0, width(), height(), false, map);
  GifFreeMapObject(map);
  if (rc == GIF_ERROR) fail();
  std::vector<GifPixelType> line(static_cast<std::size_t>(width()));
  for (int y = 0; y < height(); ++y) {
    for (int x = 0; x < width(); ++x) {
      line[static_cast<std::size_t>(x)] =
          static_cast<GifPixelType>(index.at(scaled_pixel(frame, x, y, scale_)));
    }
    if (EGifPutLine(gif_, line.data(), width()) == GIF_ERROR) fail();
  }
  ++frames_;
}

void GifWriter::close() {
  if (frames_ == 0) {
    abandon();
    throw write_error(path_, "no frames to write");
  }
  GifFileType* gif = gif_;
  gif_ = nullptr;
  int err = 0;
  if (EGifCloseFile(gif, &err) == GIF_ERROR) throw write_error(path_, gif_reason(err));
  staged_.commit();
}

void write_gif(const std::string& path, const std::vector<sim::LcdFrame>& frames,
               const std::vector<int>& delays_cs, int scale) {
  if (frames.empty()) throw write_error(path, "no frames to write");
  GifWriter gif(path, scale);
  for (std::size_t f = 0; f < frames.size(); ++f) {
    gif.add(frames[f], f < delays_cs.size() ? delays_cs[f]
                       : delays_cs.empty()  ? kDefaultDelayCs
                                            : delays_cs.back());
  }
  gif.close();
}

std::optional<int> FramePacer::arrive(std::uint64_t cclk, double clock_hz) {
  constexpr int kMinDelayCs = 2;
  if (!started_) {
    started_ = true;
    first_ = cclk;
    return std::nullopt;
  }
  if (clock_hz <= 0 || cclk <= first_) {
    last_ = fallback_cs_;
    return last_;
  }
  const double elapsed_cs = static_cast<double>(cclk - first_) / clock_hz * 100;
  last_ = std::max(kMinDelayCs, static_cast<int>(std::llround(elapsed_cs) - shown_cs_));
  shown_cs_ += last_;
  return last_;
}

std::vector<int> frame_delays_cs(const std::vector<std::uint64_t>& arrived_at, double clock_hz,
                                 int fallback_cs) {
  if (arrived_at.size() < 2) return {fallback_cs};
  FramePacer pacer(fallback_cs);
  std::vector<int> delays;
  for (std::uint64_t a : arrived_at) {
    if (auto d = pacer.arrive(a, clock_hz)) delays.push_back(*d);
  }
  delays.push_back(pacer.last());
  return delays;
}

void write_words(const std::string& path, const std::vector<std::uint16_t>& words) {
  WordLog log(path);
  for (auto w : words) log.word(w);
  log.finish();
}

}  // namespace runner
