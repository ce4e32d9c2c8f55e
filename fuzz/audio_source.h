// The file sources on any input: a source loads and then hands out codes 0..1023, or refuses
// with sim::Refusal, the one-line message the front end prints.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "sim/audio_files.h"
#include "sim/refusal.h"

namespace fuzz {

inline void check_audio_source(const std::string& spec, int samples) {
  constexpr std::uint16_t kMaxCode = 1023;
  std::unique_ptr<sim::AudioSource> source;
  try {
    source = sim::open_audio(spec);
  } catch (const sim::Refusal&) {
    return;
  }
  for (int i = 0; i < samples; ++i) {
    if (source->next() > kMaxCode) {
      std::fprintf(stderr, "fuzz: %s gave a code beyond 1023\n", spec.c_str());
      std::abort();
    }
  }
}

}  // namespace fuzz
