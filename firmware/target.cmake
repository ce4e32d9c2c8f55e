# The image: the firmware sources cross-compiled and linked for the LPC2138.
#
# Flash budget 31,536 bytes, of which the assets take ~20.6 KB. Measured with all five effects
# in: -O2 28,956 bytes, -Os 28,296. The 660 bytes -Os saves buy nothing while -O2 fits with
# 2.5 KB to spare, so the image is built for speed; the size report after each link shows
# the margin left.
set(LPCDEMO_IMAGE_OPT -O2 CACHE STRING "Optimisation level of the image")

set(LPCDEMO_TARGET_FLAGS ${LPCDEMO_CPU_FLAGS} -ffreestanding -ffunction-sections -fdata-sections
    -fstack-usage ${LPCDEMO_IMAGE_OPT})
set(LPCDEMO_LINKER_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/startup/lpc2138.ld)

# Entry points the emulator calls by symbol but main does not reach, and the assets they draw:
# --gc-sections would drop them otherwise.
set(LPCDEMO_KEPT_SYMBOLS
  effectPlasma effectCake effectFall effectRoundWave effectFftAndWave showcase_frame
  processor_init io_init lcd_init calibratead initpal waitsome waitabit senddisp
  FIX_MPY WaitZeroCross
  header_data header_data_cmap txtdata sintab)

add_executable(lpcdemo ${LPCDEMO_FIRMWARE_SOURCES} ${LPCDEMO_FIRMWARE_TARGET_SOURCES})
set_target_properties(lpcdemo PROPERTIES SUFFIX .elf LINK_DEPENDS ${LPCDEMO_LINKER_SCRIPT})
target_include_directories(lpcdemo PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(lpcdemo PRIVATE LPCDEMO_TARGET=1
  $<$<STREQUAL:${LPCDEMO_SEQUENCE},showcase>:LPCDEMO_SHOWCASE=1>)
target_compile_options(lpcdemo PRIVATE ${LPCDEMO_TARGET_FLAGS}
  $<$<COMPILE_LANGUAGE:CXX>:${LPCDEMO_FIRMWARE_FLAGS} -fno-threadsafe-statics>)
# The compiler turns copy loops into calls of memcpy and memset; inside them that would recurse.
set_source_files_properties(startup/memfuncs.cpp PROPERTIES
  COMPILE_OPTIONS -fno-tree-loop-distribute-patterns)

list(TRANSFORM LPCDEMO_KEPT_SYMBOLS PREPEND -Wl,--undefined= OUTPUT_VARIABLE kept)
target_link_options(lpcdemo PRIVATE ${LPCDEMO_CPU_FLAGS} -nostartfiles -nostdlib
  -T ${LPCDEMO_LINKER_SCRIPT} -Wl,--gc-sections -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/lpcdemo.map
  -Wl,--print-memory-usage ${kept})
# Division helpers of the effects' arithmetic.
target_link_libraries(lpcdemo PRIVATE gcc)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(TARGET lpcdemo POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} -O ihex lpcdemo.elf lpcdemo.hex
  COMMAND ${CMAKE_OBJCOPY} -O binary lpcdemo.elf lpcdemo.bin
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/../tools/image_report.py
    --elf lpcdemo.elf --su-dir ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/lpcdemo.dir
    --objdump ${CMAKE_OBJDUMP} --nm ${CMAKE_NM} --size ${CMAKE_SIZE}
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  BYPRODUCTS lpcdemo.hex lpcdemo.bin
  VERBATIM)
