# Board model sources, paths relative to sim/. The core (the board, its peripherals, the LCD and
# the audio sources that need no library) builds anywhere the firmware's host sources do, the
# WebAssembly page included; the file sources need libsndfile and libsamplerate.
set(LPCDEMO_SIM_CORE_SOURCES
  board.cpp
  system_control.cpp
  pin_connect.cpp
  fast_gpio.cpp
  spi0.cpp
  adc0.cpp
  uart0.cpp
  vic.cpp
  lcd_model.cpp
  audio.cpp
)
set(LPCDEMO_SIM_FILE_SOURCES
  audio_files.cpp
  resampler.cpp
)
