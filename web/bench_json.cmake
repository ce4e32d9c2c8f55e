# Writes `lpcdemo bench --json` for the image to OUT, whole or not at all.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${LPCDEMO} bench --firmware ${ELF} --json
  OUTPUT_FILE ${OUT}.part RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUT}.part)
  message(FATAL_ERROR "lpcdemo bench failed (${status})")
endif()
file(RENAME ${OUT}.part ${OUT})
