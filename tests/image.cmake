# Checks of the cross-built image, read back from its ELF file and run on an emulated core.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)

add_executable(test_image image/elf_file.cpp image/layout_test.cpp image/reset_test.cpp)
target_include_directories(test_image PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_image PRIVATE GTest::gtest GTest::gtest_main PkgConfig::UNICORN)
target_compile_options(test_image PRIVATE ${LPCDEMO_WARNINGS})
target_compile_definitions(test_image PRIVATE LPCDEMO_ELF="${LPCDEMO_ELF}"
  LPCDEMO_IMAGE_DIR="${LPCDEMO_IMAGE_DIR}")
add_dependencies(test_image image)
gtest_discover_tests(test_image DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
