# Firmware sources shared by the host library and the image. Paths relative to firmware/.
set(LPCDEMO_FIRMWARE_SOURCES
  board/io.cpp
  display/lcd.cpp
  dsp/sin.cpp
  dsp/fix_fft.cpp
  dsp/waveops.cpp
  effects/effects.cpp
  effects/rotoblitter.cpp
  effects/assets.cpp
  startup/main.cpp
)
# Only in the image: vectors, reset and memory initialisation, and the memory routines the
# compiler may call.
set(LPCDEMO_FIRMWARE_TARGET_SOURCES
  startup/crt.S
  startup/memfuncs.cpp
)
