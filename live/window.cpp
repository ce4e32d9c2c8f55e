#include "live/window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runner/colour.h"
#include "runner/output.h"
#include "sim/refusal.h"

namespace live {
namespace {

// While paused the window still answers within this time.
constexpr int kPausedWaitMs = 100;
// Behind the board's pace by more than this, the pace starts again from the frame shown rather
// than rushing to catch up (after a slow bring-up, say).
constexpr std::chrono::milliseconds kMaxLag{250};

[[noreturn]] void no_display(const std::string& what) {
  throw sim::Refusal("cannot open a window (" + what + "): " + SDL_GetError());
}

// The drivers of a desktop session, in the order it offers them. Left to itself SDL would end
// with an invisible offscreen window where there is no display.
void init_video() {
  if (std::getenv("SDL_VIDEODRIVER") != nullptr) {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) no_display(std::getenv("SDL_VIDEODRIVER"));
    return;
  }
  std::vector<const char*> drivers;
  if (std::getenv("DISPLAY") != nullptr) drivers.push_back("x11");
  if (std::getenv("WAYLAND_DISPLAY") != nullptr) drivers.push_back("wayland");
  if (drivers.empty()) {
    throw sim::Refusal(
        "no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY is set)");
  }
  for (const char* d : drivers) {
    if (SDL_VideoInit(d) == 0) return;
  }
  no_display(drivers.back());
}

}  // namespace

Window::Window(sim::Board& board, WindowOptions options)
    : board_(board), options_(std::move(options)) {
  init_video();
  window_scale_ = options_.scale;
  fit_scale();
  const int w = sim::kLcdWidth * window_scale_, h = sim::kLcdHeight * window_scale_;
  window_ = SDL_CreateWindow("lpcdemo", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, w, h, 0);
  if (window_ == nullptr) no_display("window");
  renderer_ = SDL_CreateRenderer(window_, -1, 0);
  if (renderer_ == nullptr) no_display("renderer");
  // One texel a pixel, enlarged by the renderer without smoothing.
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
  texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING,
                               sim::kLcdWidth, sim::kLcdHeight);
  if (texture_ == nullptr) no_display("texture");
  show(shown_);  // the panel is black until the first frame
  set_title();
}

Window::~Window() {
  if (texture_ != nullptr) SDL_DestroyTexture(texture_);
  if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
  if (window_ != nullptr) SDL_DestroyWindow(window_);
  SDL_VideoQuit();
}

// A window larger than the screen would show part of the panel: the scale comes down to the
// largest that fits the display's usable area, saying so.
void Window::fit_scale() {
  SDL_Rect usable{};
  if (SDL_GetDisplayUsableBounds(0, &usable) != 0) return;
  const int fits = std::max(1, std::min(usable.w / sim::kLcdWidth, usable.h / sim::kLcdHeight));
  if (options_.scale <= fits) return;
  std::cerr << "lpcdemo: --scale " << options_.scale << " makes a window larger than the "
            << usable.w << " x " << usable.h << " screen: the window is at scale " << fits
            << " (pictures saved with s keep " << options_.scale << ")" << std::endl;
  window_scale_ = fits;
}

void Window::frame(const sim::LcdFrame& frame, std::uint64_t cclk, double cclk_hz) {
  if (quit_) return;
  unclocked_ = cclk == 0;
  if (cclk > last_cclk_ && last_cclk_ != 0) fps_ = cclk_hz / static_cast<double>(cclk - last_cclk_);
  if (cclk == 0 && options_.unclocked_fps) fps_ = options_.unclocked_fps(frames_);
  last_cclk_ = cclk;
  if (!options_.fast) pace(cclk, cclk_hz);
  shown_ = frame;
  if (frames_++ == 0) play(true);
  show(frame);
  set_title();
  poll();
  if (step_) {
    step_ = false;
    paused_ = true;
    set_title();
  }
  wait_while_paused();
  if (quit_) {
    play(false);
    board_.request_stop();
  }
}

void Window::play(bool on) const {
  if (options_.sound) options_.sound(on);
}

void Window::hold() {
  while (!quit_) {
    SDL_Event e;
    if (SDL_WaitEventTimeout(&e, kPausedWaitMs)) handle(e);
  }
}

void Window::show(const sim::LcdFrame& frame) {
  void* pixels = nullptr;
  int pitch = 0;
  if (SDL_LockTexture(texture_, nullptr, &pixels, &pitch) != 0) return;
  for (int y = 0; y < sim::kLcdHeight; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(static_cast<std::uint8_t*>(pixels) + y * pitch);
    for (int x = 0; x < sim::kLcdWidth; ++x) {
      const runner::Rgb c = runner::rgb(frame[static_cast<std::size_t>(y * sim::kLcdWidth + x)]);
      row[x] = std::uint32_t{c.r} << 16 | std::uint32_t{c.g} << 8 | c.b;
    }
  }
  SDL_UnlockTexture(texture_);
  SDL_RenderClear(renderer_);
  SDL_RenderCopy(renderer_, texture_, nullptr, nullptr);
  SDL_RenderPresent(renderer_);
}

void Window::set_title() {
  char title[160];
  if (frames_ == 0) {
    std::snprintf(title, sizeof title, "lpcdemo: %s, starting", options_.effect.c_str());
  } else {
    const long long n = options_.frame_number ? options_.frame_number(frames_ - 1)
                                              : static_cast<long long>(frames_ - 1);
    // The board's rate once two frames give it, or from the native engine's estimate; a native
    // run at the host's pace has none.
    char rate[64] = "";
    if (fps_ > 0) {
      std::snprintf(rate, sizeof rate, ", %.1f fps on the board", fps_);
    } else if (unclocked_) {
      std::snprintf(rate, sizeof rate, ", no board clock: at the host's pace");
    }
    std::snprintf(title, sizeof title, "lpcdemo: %s, frame %lld%s%s", options_.effect.c_str(), n,
                  rate, paused_ ? " (paused)" : "");
  }
  SDL_SetWindowTitle(window_, title);
}

// Waits until the board's time of this frame has come on the wall clock.
void Window::pace(std::uint64_t cclk, double cclk_hz) {
  const Clock::time_point now = Clock::now();
  std::chrono::duration<double> due{0};
  if (cclk != 0 && cclk_hz > 0) {
    due = std::chrono::duration<double>(static_cast<double>(cclk - cclk_origin_) / cclk_hz);
  } else if (fps_ > 0) {
    due = std::chrono::duration<double>(static_cast<double>(frames_ - frame_origin_) / fps_);
  }
  const auto at = wall_origin_ + std::chrono::duration_cast<Clock::duration>(due);
  if (frames_ == 0 || now - at > kMaxLag) {
    wall_origin_ = now;
    cclk_origin_ = cclk;
    frame_origin_ = frames_;
    return;
  }
  std::this_thread::sleep_until(at);
}

void Window::handle(const SDL_Event& e) {
  if (e.type == SDL_QUIT) quit_ = true;
  if (e.type != SDL_KEYDOWN) return;
  switch (e.key.keysym.sym) {
    case SDLK_q:
    case SDLK_ESCAPE:
      quit_ = true;
      break;
    case SDLK_SPACE:
      paused_ = !paused_;
      play(!paused_);
      set_title();
      break;
    case SDLK_RIGHT:
      if (paused_) step_ = true;
      break;
    case SDLK_s:
      save();
      break;
    default:
      break;
  }
}

void Window::poll() {
  SDL_Event e;
  while (SDL_PollEvent(&e)) handle(e);
}

void Window::wait_while_paused() {
  if (!paused_) return;
  while (paused_ && !step_ && !quit_) {
    SDL_Event e;
    if (SDL_WaitEventTimeout(&e, kPausedWaitMs)) handle(e);
  }
  if (step_) paused_ = false;  // one frame, then paused again
  // The pace starts again from the next frame, not from before the pause.
  frame_origin_ = frames_;
  wall_origin_ = Clock::now();
  cclk_origin_ = last_cclk_;
}

void Window::save() const {
  const long long n = options_.frame_number && frames_ > 0 ? options_.frame_number(frames_ - 1)
                                                           : static_cast<long long>(frames_);
  const std::string path = "lpcdemo-" + options_.effect + "-" + std::to_string(n) + ".png";
  try {
    runner::write_png(path, shown_, options_.scale);
    std::cout << "saved " << path << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "lpcdemo: " << e.what() << std::endl;
  }
}

}  // namespace live
