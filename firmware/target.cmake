# The images: the firmware sources cross-compiled and linked for the LPC2138. lpcdemo.elf is
# the demo (plasma at power-up, then halt); lpcdemo-showcase.elf differs only in its main,
# which shows every effect in turn for ever.
#
# Flash is limited to FLASH_BUDGET, stated in the linker script alone, of which the assets take
# ~20.6 KB. The image is built for speed, with the per-file exceptions at the end; the size
# report after each link shows the margin left.
set(LPCDEMO_IMAGE_OPT -O2 CACHE STRING "Optimisation level of the image")

# Debug information for GDB and the profiler; it stays in the ELF and never reaches flash.
set(LPCDEMO_TARGET_FLAGS ${LPCDEMO_CPU_FLAGS} -g -ffreestanding -ffunction-sections -fdata-sections
    -fstack-usage ${LPCDEMO_IMAGE_OPT})
set(LPCDEMO_LINKER_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/startup/lpc2138.ld)

# The renderers, from the effect catalogue (one entry a line there).
set(catalogue ${CMAKE_CURRENT_SOURCE_DIR}/effects/catalogue.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${catalogue})
set(entry_re "^ *{\"[a-z0-9]+\", \"([A-Za-z0-9_]+)\",")
file(STRINGS ${catalogue} rows REGEX "${entry_re}")
list(TRANSFORM rows REPLACE "${entry_re}.*" "\\1" OUTPUT_VARIABLE LPCDEMO_RENDERERS)
if(NOT LPCDEMO_RENDERERS)
  message(FATAL_ERROR "no renderers found in ${catalogue}")
endif()

# Entry points the emulator calls by symbol but main does not reach, then what they reach only
# through the emulator and the assets they draw: --gc-sections would drop them otherwise.
# getad too, which the sampling loops no longer call (they inline its steps): the board's
# one-sample routine stays in the image, and its debug information keeps a real address.
set(LPCDEMO_ENTRY_POINTS ${LPCDEMO_RENDERERS} showcase_frame)
set(LPCDEMO_KEPT_SYMBOLS ${LPCDEMO_ENTRY_POINTS}
  processor_init io_init lcd_init calibratead initpal waitsome waitabit senddisp getad
  FIX_MPY WaitZeroCross
  header_data header_data_cmap txtdata sintab)
list(TRANSFORM LPCDEMO_KEPT_SYMBOLS PREPEND -Wl,--undefined= OUTPUT_VARIABLE kept)
list(TRANSFORM LPCDEMO_ENTRY_POINTS PREPEND --entry= OUTPUT_VARIABLE report_entries)

# Every source but main is compiled once for both images. The objects keep the order of the
# source list around main's, as the link places code in that order (the vectors aside).
set(before_main ${LPCDEMO_FIRMWARE_SOURCES})
list(FIND before_main startup/main.cpp main_at)
list(SUBLIST before_main ${main_at} -1 after_main)
list(SUBLIST before_main 0 ${main_at} before_main)
list(REMOVE_AT after_main 0)
add_library(firmware_before_main OBJECT ${before_main})
add_library(firmware_after_main OBJECT ${after_main} ${LPCDEMO_FIRMWARE_TARGET_SOURCES})
# The compiler turns copy loops into calls of memcpy and memset; inside them that would recurse.
set_source_files_properties(startup/memfuncs.cpp PROPERTIES
  COMPILE_OPTIONS -fno-tree-loop-distribute-patterns)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
function(lpcdemo_compile target)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                                               ${CMAKE_CURRENT_SOURCE_DIR}/hw/include)
  target_compile_definitions(${target} PRIVATE LPCDEMO_TARGET=1 ${ARGN})
  target_compile_options(${target} PRIVATE ${LPCDEMO_TARGET_FLAGS}
    $<$<COMPILE_LANGUAGE:CXX>:${LPCDEMO_FIRMWARE_FLAGS} -fno-threadsafe-statics>)
endfunction()
lpcdemo_compile(firmware_before_main)
lpcdemo_compile(firmware_after_main)

# One image: its own main, the shared objects, the hex and binary forms, and the size and stack
# report (which fails the build when a chain overflows the main stack or flash is over budget).
function(lpcdemo_image name)
  add_library(${name}_main OBJECT startup/main.cpp)
  lpcdemo_compile(${name}_main ${ARGN})
  add_executable(${name} $<TARGET_OBJECTS:firmware_before_main> $<TARGET_OBJECTS:${name}_main>
                         $<TARGET_OBJECTS:firmware_after_main>)
  set_target_properties(${name} PROPERTIES SUFFIX .elf LINK_DEPENDS ${LPCDEMO_LINKER_SCRIPT}
                                           LINKER_LANGUAGE CXX)
  target_link_options(${name} PRIVATE ${LPCDEMO_CPU_FLAGS} -nostartfiles -nostdlib
    -T ${LPCDEMO_LINKER_SCRIPT} -Wl,--gc-sections -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/${name}.map
    -Wl,--print-memory-usage ${kept})
  # Division helpers of the effects' arithmetic.
  target_link_libraries(${name} PRIVATE gcc)
  set(objects ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles)
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} -O ihex ${name}.elf ${name}.hex
    COMMAND ${CMAKE_OBJCOPY} -O binary ${name}.elf ${name}.bin
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/../tools/image_report.py
      --elf ${name}.elf --su-dir ${objects}/${name}_main.dir --su-dir ${objects}/firmware_before_main.dir
      --su-dir ${objects}/firmware_after_main.dir ${report_entries}
      --objdump ${CMAKE_OBJDUMP} --nm ${CMAKE_NM} --size ${CMAKE_SIZE}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    BYPRODUCTS ${name}.hex ${name}.bin
    VERBATIM)
endfunction()

lpcdemo_image(lpcdemo)
lpcdemo_image(lpcdemo-showcase LPCDEMO_SHOWCASE=1)
# Each of senddisp's status polls then sits within one 16-byte flash line, so no pass waits for
# a fetch and a word's end is seen within a pass (82.7 clocks a word against 85.0 unaligned).
set_source_files_properties(display/lcd.cpp PROPERTIES COMPILE_OPTIONS -falign-loops=16)
# Built for size, measured: main (its loops only call the effects) and io (bring-up,
# calibration and sendlcd for the start-up words; the sampling loops inline getad's steps)
# give 152 bytes of flash back and cost no frame more than 200 clocks. fix_fft at -Os would
# save 116 bytes for 7,000 clocks of the spectrum's frame; -O3 or -funroll-loops anywhere
# that matters overflows flash.
set_source_files_properties(startup/main.cpp board/io.cpp PROPERTIES COMPILE_OPTIONS -Os)
