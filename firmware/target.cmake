# The image: the firmware sources cross-compiled for the LPC2138.
set(LPCDEMO_TARGET_FLAGS ${LPCDEMO_CPU_FLAGS} -ffreestanding -ffunction-sections -fdata-sections)
add_library(lpcdemo_objects OBJECT ${LPCDEMO_FIRMWARE_SOURCES})
target_include_directories(lpcdemo_objects PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(lpcdemo_objects PUBLIC LPCDEMO_TARGET=1)
target_compile_options(lpcdemo_objects PRIVATE ${LPCDEMO_TARGET_FLAGS} ${LPCDEMO_FIRMWARE_FLAGS} -O2)
