// What a throw does in the module. Debian's libc++abi for wasm32 is built without an exception
// runtime (no __cxa_allocate_exception, no __cxa_throw, no unwinder), and compiling the board
// model and the engine with -fno-exceptions would make their throws compile errors. So they
// compile as on the host, and a throw ends here: its type and what() on stderr (fd 2, which the
// page reads as lines), then abort(), a trap the page catches as a RuntimeError. No catch block
// ever runs; the module holds none, and the page starts a new instance after a trap.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

extern "C" {

void* __cxa_allocate_exception(std::size_t size) noexcept {
  return std::malloc(size);
}

void __cxa_free_exception(void* thrown) noexcept {
  std::free(thrown);
}

// Everything the module throws derives from std::exception by single inheritance (sim::Refusal,
// sim::Stalled, sim::Stopped, the standard library's logic and runtime errors), so the thrown
// object is a std::exception at its own address.
[[noreturn]] void __cxa_throw(void* thrown, std::type_info* type, void (*)(void*)) {
  const auto* e = static_cast<const std::exception*>(thrown);
  std::fprintf(stderr, "uncaught %s: %s\n", type ? type->name() : "exception", e->what());
  std::abort();
}

}  // extern "C"
