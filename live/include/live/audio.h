// The room's sound and the board's input: the default capture device as the converter's
// input, and a WAV played on the default output device while the view shows the run.
#pragma once

#include <SDL.h>

#include <memory>
#include <string>

#include "sim/audio.h"

namespace live {

// mic[:PEAK] (as sim::parse_microphone reads it): signed 16-bit mono at 48 kHz from the default
// capture device, resampled to the conversion rate; full scale is PEAK codes (default
// sim::kDefaultLevel). Conversions wait for the sound to arrive, so a run that reads it goes at
// the pace of the room. Throws sim::Refusal with one line when there is no capture device.
std::unique_ptr<sim::AudioSource> open_microphone(const std::string& source);
// What the microphone asks of the capture device, exactly (SDL converts from whatever the
// device does): the 16-bit samples in the host's byte order that it reads as std::int16_t.
SDL_AudioSpec capture_spec();

// Plays a WAV file on the default output device from start(), pausing with the view.
class Player {
 public:
  // Throws std::runtime_error when the file cannot be read or there is no output device.
  explicit Player(const std::string& path);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  void play(bool on);

 private:
  SDL_AudioDeviceID device_ = 0;
};

}  // namespace live
