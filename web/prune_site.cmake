# Removes every entry of DIR that is not in the list KEEP (full paths).
cmake_minimum_required(VERSION 3.25)
file(GLOB entries LIST_DIRECTORIES true ${DIR}/*)
foreach(entry ${entries})
  if(NOT entry IN_LIST KEEP)
    message(STATUS "Site: removing ${entry}, which the site no longer has")
    file(REMOVE_RECURSE ${entry})
  endif()
endforeach()
