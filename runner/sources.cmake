# The runner's engine sources, paths relative to runner/: the engine interface, the native
# engine (the host build of the firmware on the board model) and the run sequences. They need
# the board model's core and the firmware and nothing else, so the WebAssembly page builds them
# too; the files a run writes and the session that writes them are in runner/CMakeLists.txt.
set(LPCDEMO_ENGINE_SOURCES
  engine.cpp
  native.cpp
  run.cpp
)
