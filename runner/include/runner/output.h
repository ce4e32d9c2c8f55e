// What a run leaves behind: PNG frames, an animated GIF and the LCD word log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runner/colour.h"
#include "sim/lcd_model.h"

struct GifFileType;

namespace runner {

// A C stream closed when dropped, its close's result unread: a writer that must know whether
// the file was completed closes it itself (release, then fclose).
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A path made for a run and not yet given its name (a staged file, a directory made for the
// frames): known, while this lives, to remove_temporaries().
class Temporary {
 public:
  struct Entry;
  Temporary() = default;
  Temporary(const std::string& path, bool directory);
  ~Temporary() { release(); }
  Temporary(Temporary&& other) noexcept : entry_(std::exchange(other.entry_, nullptr)) {}
  Temporary& operator=(Temporary&& other) noexcept;
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  void release();  // the path has its name now, or is gone

 private:
  Entry* entry_ = nullptr;
};

// Removes every path a Temporary holds, files first, then directories inner first: for a
// signal handler on its way out (unlink and rmdir only; async-signal-safe).
void remove_temporaries() noexcept;

// A file written under a temporary name beside its own and renamed to it once complete, so that
// a run that ends early, by a failure or a signal, leaves nothing under the name. Through a
// symbolic link, the file it points to is staged and replaced, and the link stays. A path that
// names something other than a regular file or a link to one (/dev/null, a pipe, a terminal)
// is written in place.
class StagedFile {
 public:
  // Makes the temporary file; throws std::runtime_error with the system's reason.
  explicit StagedFile(std::string path);
  ~StagedFile();  // removes the temporary file unless committed
  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&&) = delete;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  const std::string& temp_path() const { return temp_; }  // where the writer writes
  void commit();  // renames it to the path; throws std::runtime_error

 private:
  std::string path_;
  std::string target_;  // the path with its links followed: what commit() replaces
  std::string temp_;    // empty once committed or moved from
  Temporary temporary_;
};

// Each throws std::runtime_error with a one-line message when the file cannot be written.
void write_png(const std::string& path, const sim::LcdFrame& frame, int scale);

// An animated GIF that loops forever, written a frame at a time under a temporary name and
// renamed to `path` by close().
class GifWriter {
 public:
  GifWriter(const std::string& path, int scale);
  ~GifWriter();
  GifWriter(const GifWriter&) = delete;
  GifWriter& operator=(const GifWriter&) = delete;

  void add(const sim::LcdFrame& frame, int delay_cs);  // display time in hundredths of a second
  // Completes the file; throws if it holds no frame or could not be written.
  void close();

 private:
  int width() const { return sim::kLcdWidth * scale_; }
  int height() const { return sim::kLcdHeight * scale_; }
  void abandon();
  [[noreturn]] void fail();

  std::string path_;
  int scale_;
  StagedFile staged_;
  GifFileType* gif_ = nullptr;
  std::size_t frames_ = 0;
};

// delays_cs: display time of each frame in hundredths of a second. Loops forever.
void write_gif(const std::string& path, const std::vector<sim::LcdFrame>& frames,
               const std::vector<int>& delays_cs, int scale);

// GIF delays that replay frames at the pace they arrived: frame i shows until frame i + 1
// arrives, the last as long as the one before. Rounded on the running total, so a long GIF
// keeps the board's pace; never below the 2 cs that viewers honour. Without usable times
// (fewer than two frames, or no clock) every frame gets `fallback_cs`.
class FramePacer {
 public:
  explicit FramePacer(int fallback_cs) : fallback_cs_(fallback_cs), last_(fallback_cs) {}
  // Each frame's arrival in turn; from the second on, the display time of the one before.
  std::optional<int> arrive(std::uint64_t cclk, double clock_hz);
  int last() const { return last_; }  // for the final frame

 private:
  int fallback_cs_;
  int last_;
  bool started_ = false;
  std::uint64_t first_ = 0;
  long long shown_cs_ = 0;
};
std::vector<int> frame_delays_cs(const std::vector<std::uint64_t>& arrived_at, double clock_hz,
                                 int fallback_cs);

// Checked before a run, so that a long run does not end in a file it cannot write: an existing
// file must open for writing, and the temporary file is made where the run will make it, then
// removed. Each throws sim::Refusal naming the path and the system's reason, and leaves nothing
// behind.
void check_writable_file(const std::string& path);
// A directory that exists, or can be made, and takes a file: made, written and removed again.
void check_writable_dir(const std::string& path);

// 16-bit little-endian words: bits 7-0 the byte, bit 8 set for a command.
void write_words(const std::string& path, const std::vector<std::uint16_t>& words);

}  // namespace runner
