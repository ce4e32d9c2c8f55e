# The site (build/web/): the page, the module from the web build (web/CMakeLists.txt, an
# external project with the wasm toolchain) and the board's frame rates from the host's
# `lpcdemo bench --json`. Included by the top level, whose host build runs the bench.
include(ExternalProject)

set(LPCDEMO_WEB_DIR ${CMAKE_BINARY_DIR}/web)
set(LPCDEMO_WEB_MODULE_DIR ${CMAKE_BINARY_DIR}/web-module)
set(LPCDEMO_WEB_MODULE ${LPCDEMO_WEB_MODULE_DIR}/lpcdemo.wasm)

ExternalProject_Add(web_module
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/web
  BINARY_DIR ${LPCDEMO_WEB_MODULE_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/wasm32-wasi.cmake
    -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${LPCDEMO_WEB_MODULE}
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
# It compiles the generated asset source as the host library does.
add_dependencies(web_module lpcdemo_assets)

set(pages index.html app.js wasi.js worklet.js style.css)
set(site_files)
foreach(page ${pages} lpcdemo.wasm)
  if(page STREQUAL lpcdemo.wasm)
    set(from ${LPCDEMO_WEB_MODULE})
  else()
    set(from ${CMAKE_CURRENT_LIST_DIR}/${page})
  endif()
  add_custom_command(OUTPUT ${LPCDEMO_WEB_DIR}/${page}
    COMMAND ${CMAKE_COMMAND} -E copy ${from} ${LPCDEMO_WEB_DIR}/${page}
    DEPENDS ${from}
    COMMENT "Site: ${page}")
  list(APPEND site_files ${LPCDEMO_WEB_DIR}/${page})
endforeach()

# The page paces each effect at the board's rate as the cycle estimate of the emulated image
# gives it (some 4 s to measure, again only when the image or the program changes).
add_custom_command(OUTPUT ${LPCDEMO_WEB_DIR}/bench.json
  COMMAND ${CMAKE_COMMAND} -DLPCDEMO=$<TARGET_FILE:lpcdemo> -DELF=${LPCDEMO_ELF}
          -DOUT=${LPCDEMO_WEB_DIR}/bench.json -P ${CMAKE_CURRENT_LIST_DIR}/bench_json.cmake
  DEPENDS lpcdemo ${LPCDEMO_ELF} ${CMAKE_CURRENT_LIST_DIR}/bench_json.cmake
  COMMENT "Site: bench.json, the board's frame rates")
list(APPEND site_files ${LPCDEMO_WEB_DIR}/bench.json)

add_custom_target(web_site ALL DEPENDS ${site_files})
# Nothing else in the directory: a file dropped from the lists above must not live on in it.
add_custom_command(TARGET web_site POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DDIR=${LPCDEMO_WEB_DIR} "-DKEEP=${site_files}"
          -P ${CMAKE_CURRENT_LIST_DIR}/prune_site.cmake
  VERBATIM)
add_dependencies(web_site web_module)
if(TARGET image)
  add_dependencies(web_site image)
endif()
