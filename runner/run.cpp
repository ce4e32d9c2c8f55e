#include "runner/run.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <vector>

#include "effects/catalogue.h"
#include "sim/refusal.h"
#include "startup/sequence.h"

namespace runner {
namespace {

constexpr auto kEffects = [] {
  std::array<Effect, kEffectCount> list{};
  for (std::size_t i = 0; i < kEffectCount; ++i) {
    const EffectInfo& e = kEffectCatalogue[i];
    list[i] = {e.name, e.symbol, e.palette, e.audio == Audio::kShown};
  }
  return list;
}();

// The firmware functions a sequence calls; none for demo, which starts from the reset vector.
std::vector<std::string_view> calls_of(std::string_view effect) {
  if (effect == "demo") return {};
  std::vector<std::string_view> calls(std::begin(kBringUp), std::end(kBringUp));
  if (effect == "showcase") {
    calls.push_back("showcase_frame");
    return calls;
  }
  const auto e = find_effect(effect);
  if (!e) throw sim::Refusal("unknown effect " + std::string(effect));
  calls.insert(calls.end(), {"initpal", e->symbol});
  return calls;
}

}  // namespace

std::span<const Effect> effects() {
  return kEffects;
}

std::optional<Effect> find_effect(std::string_view name) {
  for (const Effect& e : kEffects) {
    if (e.name == name) return e;
  }
  return std::nullopt;
}

Effect showcase_effect(std::int32_t k) {
  // As the firmware picks it: the cycle's position, kept positive for negative k.
  int pos = k % kShowcaseFrames;
  if (pos < 0) pos += kShowcaseFrames;
  return kEffects[static_cast<std::size_t>(pos / kShowcaseFramesPerEffect)];
}

bool shows_audio(std::string_view sequence) {
  if (sequence == "showcase") {
    return std::any_of(kEffects.begin(), kEffects.end(),
                       [](const Effect& e) { return e.shows_audio; });
  }
  // demo runs the power-up effect, the catalogue's first.
  const auto e = find_effect(sequence == "demo" ? kEffects.front().name : sequence);
  return e && e->shows_audio;
}

void bring_up(Engine& engine) {
  for (std::string_view step : kBringUp) engine.call(step);
}

void check_sequence(const Engine& engine, std::string_view effect, std::int32_t start) {
  if (effect == "demo" && start != 0) {
    throw sim::Refusal("demo runs the image's own main from reset: it starts at no other frame");
  }
  for (std::string_view s : calls_of(effect)) {
    if (!engine.has(s)) {
      throw sim::Refusal("the firmware has no function " + std::string(s));
    }
  }
}

std::int32_t frame_counter(std::int32_t start, int k) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(start) +
                                   static_cast<std::uint32_t>(k));
}

Sequence::Sequence(Engine& engine, std::string_view effect, std::int32_t start)
    : engine_(engine), next_(start) {
  check_sequence(engine, effect, start);
  if (effect == "demo") return;
  bring_up(engine);
  if (effect == "showcase") {
    symbol_ = "showcase_frame";
    return;
  }
  const Effect e = *find_effect(effect);
  engine.call("initpal", {e.palette});
  symbol_ = e.symbol;
}

void Sequence::step() {
  if (symbol_.empty()) {
    if (!main_ran_) engine_.run_main();
    main_ran_ = true;
    return;
  }
  engine_.call(symbol_, {next_});
  next_ = frame_counter(next_, 1);
}

void run_sequence(Engine& engine, std::string_view effect, int frames, std::int32_t start) {
  Sequence sequence(engine, effect, start);
  const int steps = effect == "demo" ? 1 : frames;
  for (int k = 0; k < steps; ++k) sequence.step();
}

}  // namespace runner
