// A run refused for what it was given, found before its first frame: an audio source that
// cannot be read, an image the emulator cannot run, an output or a port that cannot be made, a
// sequence the firmware cannot play. The message says what is wrong, in one line; the program
// exits with status 2 for it wherever it is thrown, and with 1 for anything that goes wrong
// once the run is under way.
#pragma once

#include <stdexcept>

namespace sim {

struct Refusal : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

}  // namespace sim
