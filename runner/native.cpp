#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/io.h"
#include "display/lcd.h"
#include "effects/catalogue.h"
#include "runner/engine.h"
#include "startup/sequence.h"

namespace runner {
namespace {

using Args = std::vector<std::int32_t>;
using Entry = std::function<void(const Args&)>;

// The firmware's entry points the runner uses, as the image names them: bring-up, palettes,
// the showcase and every renderer of the effect catalogue.
const std::map<std::string, Entry, std::less<>>& entries() {
  static const auto table = [] {
    std::map<std::string, Entry, std::less<>> t = {
        {"processor_init", [](const Args&) { processor_init(); }},
        {"io_init", [](const Args&) { io_init(); }},
        {"lcd_init", [](const Args&) { lcd_init(); }},
        {"calibratead", [](const Args&) { calibratead(); }},
        {"initpal", [](const Args& a) { initpal(static_cast<std::uint8_t>(a.at(0))); }},
        {"showcase_frame", [](const Args& a) { showcase_frame(a.at(0)); }},
    };
    for (const EffectInfo& e : kEffectCatalogue) {
      t.emplace(e.symbol, [render = e.render](const Args& a) { render(a.at(0)); });
    }
    return t;
  }();
  return table;
}

// Every run starts from zeroed memory, as the image's start-up code leaves it; the initialised
// variables are never written, so they need no restoring.
void clear_bss() {
  avg = 0;
  for (auto& p : dispram) p = 0;
  for (auto& p : pal) p = 0;
}

class NativeEngine : public Engine {
 public:
  explicit NativeEngine(sim::Board& board) {
    hw::set_bus(&board);
    clear_bss();
  }
  ~NativeEngine() override { hw::set_bus(nullptr); }
  NativeEngine(const NativeEngine&) = delete;
  NativeEngine& operator=(const NativeEngine&) = delete;

  void call(std::string_view symbol, std::initializer_list<std::int32_t> args) override {
    auto it = entries().find(symbol);
    if (it == entries().end()) {
      throw std::invalid_argument("no firmware function " + std::string(symbol));
    }
    it->second(Args(args));
  }

  void run_main() override { demo_sequence(); }

  bool has(std::string_view symbol) const override { return entries().contains(symbol); }
};

}  // namespace

std::unique_ptr<Engine> make_native_engine(sim::Board& board) {
  return std::make_unique<NativeEngine>(board);
}

}  // namespace runner
