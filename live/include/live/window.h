// The board's LCD in a window (SDL2): each frame is shown as it completes, paced at the frame
// rate the board reaches, and the keyboard is answered between frames.
#pragma once

#include <SDL.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "sim/board.h"

namespace live {

struct WindowOptions {
  std::string effect;  // for the title and the names of saved frames
  int scale = 4;
  bool fast = false;  // no pacing: as fast as the engine renders
  // Frames a second when the board has no clock (the native engine): the cycle estimate of the
  // same firmware on the emulated chip, for the frame that is shown.
  std::function<double(std::size_t shown)> unclocked_fps;
  // The number of the k-th frame in the title: the effect's own counter where it has one.
  std::function<std::int64_t(std::size_t k)> frame_number;
  // Told whether the sound that goes with the picture should play: from the first frame on,
  // not while paused or once the window is closed.
  std::function<void(bool)> sound;
};

// Space pauses and resumes, the right arrow steps one frame while paused, `s` saves the frame
// shown as PNG in the working directory, `q`, Escape or closing the window quits: the board is
// asked to stop, and the run ends after the frame in progress.
class Window final : public sim::LcdSink {
 public:
  // Throws sim::Refusal when no display can be opened.
  Window(sim::Board& board, WindowOptions options);
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  void word(std::uint16_t) override {}
  void frame(const sim::LcdFrame& frame, std::uint64_t cclk, double cclk_hz) override;
  // After the run: the last frame stays on screen until the window is closed.
  void hold();
  bool quit() const { return quit_; }

 private:
  using Clock = std::chrono::steady_clock;

  void show(const sim::LcdFrame& frame);
  void fit_scale();
  void set_title();
  void pace(std::uint64_t cclk, double cclk_hz);
  void handle(const SDL_Event& e);
  void poll();
  void wait_while_paused();
  void save() const;
  void play(bool on) const;

  sim::Board& board_;
  WindowOptions options_;
  SDL_Window* window_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* texture_ = nullptr;
  sim::LcdFrame shown_{};
  std::size_t frames_ = 0;  // frames shown so far
  double fps_ = 0;          // the board's rate at the frame shown
  bool paused_ = false, step_ = false, quit_ = false;
  bool unclocked_ = false;  // the last frame came from an engine without a board clock
  int window_scale_ = 4;    // the window's pixel size: the scale asked for, or what fits
  // Pacing: the wall time and board time of the frame the pace is reckoned from.
  Clock::time_point wall_origin_;
  std::uint64_t cclk_origin_ = 0;
  std::size_t frame_origin_ = 0;
  std::uint64_t last_cclk_ = 0;
};

}  // namespace live
