# The asset tool: its library tested in-process, its program run as the build runs it.
lpcdemo_test_dir(assets lpcdemo_assetgen)
add_dependencies(test_assets assetgen)
target_compile_definitions(test_assets PRIVATE
  ASSETGEN_PATH="$<TARGET_FILE:assetgen>" LPCDEMO_TEXT_FONT="${LPCDEMO_TEXT_FONT}")
