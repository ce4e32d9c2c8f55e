#include "tools/lpcdemo/run.h"

#include <stdexcept>
#include <string>

namespace runner {

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
