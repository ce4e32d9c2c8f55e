# Checks of the cross-built image, read back from its ELF file and run on an emulated core, and
# of the size and stack report that follows each link.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME image_report COMMAND ${Python3_EXECUTABLE}
  ${CMAKE_CURRENT_SOURCE_DIR}/image/test_image_report.py)

# The showcase sequence that the image's main runs, on the host build of the firmware.
add_executable(test_showcase image/test_showcase.cpp)
target_link_libraries(test_showcase PRIVATE lpcdemo_test_support)
target_compile_options(test_showcase PRIVATE ${LPCDEMO_WARNINGS})
gtest_discover_tests(test_showcase DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

if(NOT LPCDEMO_BUILD_IMAGE)
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)

add_executable(test_image image/elf_file.cpp image/test_layout.cpp image/test_reset.cpp)
target_include_directories(test_image PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_image PRIVATE GTest::gtest GTest::gtest_main PkgConfig::UNICORN)
target_compile_options(test_image PRIVATE ${LPCDEMO_WARNINGS})
get_filename_component(image_dir ${LPCDEMO_ELF} DIRECTORY)
target_compile_definitions(test_image PRIVATE LPCDEMO_ELF="${LPCDEMO_ELF}"
  LPCDEMO_IMAGE_DIR="${image_dir}" LPCDEMO_SEQUENCE="${LPCDEMO_SEQUENCE}")
add_dependencies(test_image image)
gtest_discover_tests(test_image DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
