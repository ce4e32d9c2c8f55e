#include "tools/lpcdemo/run.h"

#include <stdexcept>
#include <string>

namespace runner {

const std::vector<Effect>& effects() {
  static const std::vector<Effect> list = {
      {"plasma", "effectPlasma", 0, false},     {"cake", "effectCake", 2, false},
      {"fall", "effectFall", 0, true},          {"roundwave", "effectRoundWave", 0, true},
      {"fftwave", "effectFftAndWave", 0, true},
  };
  return list;
}

std::optional<Effect> find_effect(std::string_view name) {
  for (const auto& e : effects()) {
    if (e.name == name) return e;
  }
  return std::nullopt;
}

void bring_up(Engine& engine) {
  engine.call("processor_init");
  engine.call("io_init");
  engine.call("lcd_init");
  engine.call("calibratead");
}

void run_sequence(Engine& engine, std::string_view effect, int frames) {
  if (effect == "demo") {
    engine.run_main();
    return;
  }
  if (effect == "showcase") {
    bring_up(engine);
    for (int k = 0; k < frames; ++k) engine.call("showcase_frame", {k});
    return;
  }
  const auto e = find_effect(effect);
  if (!e) throw std::invalid_argument("unknown effect " + std::string(effect));
  bring_up(engine);
  engine.call("initpal", {e->palette});
  for (int n = 0; n < frames; ++n) engine.call(e->symbol, {n});
}

}  // namespace runner
