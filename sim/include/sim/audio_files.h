// The audio sources that read files: a WAV resampled to the conversion rate (libsndfile,
// libsamplerate) and a file of codes. Every front end that takes a user's audio source opens
// it here.
#pragma once

#include <memory>
#include <string>

#include "sim/audio.h"

namespace sim {

// wav:PATH[:PEAK] | codes:PATH, and every other source as make_audio (sim/audio.h) makes it. A
// WAV's full scale +-1.0 maps to +-PEAK codes around 512. PEAK is read from the last ':' field
// only when that field is a number, so a PATH may hold ':'; a path that itself ends in ':' and
// a number needs its PEAK written out. Throws Refusal (sim/refusal.h) with a one-line message
// on a malformed source or unreadable file.
std::unique_ptr<AudioSource> open_audio(const std::string& source);

// The file of a wav: source, for a player that lets the room hear what the converter hears.
std::string wav_path(const std::string& source);

}  // namespace sim
