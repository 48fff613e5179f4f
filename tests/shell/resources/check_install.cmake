# Installs the desktop component of the build in BUILD_DIR under PREFIX and checks that a
# desktop environment finds the program and its icon: the .desktop entry's Exec and Icon
# name installed files, and each hicolor size holds the image drawn for that size.
foreach(_var BUILD_DIR SOURCE_DIR PREFIX)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "${_var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(
  COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --component desktop --prefix "${PREFIX}"
  RESULT_VARIABLE _status OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${_status}):\n${_out}")
endif()

set(_desktop "${PREFIX}/share/applications/quillmark.desktop")
if(NOT EXISTS "${_desktop}")
  message(FATAL_ERROR "no desktop entry at ${_desktop}")
endif()
file(STRINGS "${_desktop}" _exec REGEX "^Exec=")
file(STRINGS "${_desktop}" _icon REGEX "^Icon=")
string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" _exec "${_exec}")
string(REGEX REPLACE "^Icon=" "" _icon "${_icon}")
if(NOT EXISTS "${PREFIX}/bin/${_exec}")
  message(FATAL_ERROR "the desktop entry runs '${_exec}', which is not in ${PREFIX}/bin")
endif()

foreach(_size 16 32 48)
  set(_png "${PREFIX}/share/icons/hicolor/${_size}x${_size}/apps/${_icon}.png")
  if(NOT EXISTS "${_png}")
    message(FATAL_ERROR "the desktop entry's icon '${_icon}' has no ${_size}x${_size} image")
  endif()
  file(SHA256 "${_png}" _installed)
  file(SHA256 "${SOURCE_DIR}/quillmark-${_size}.png" _drawn)
  if(NOT _installed STREQUAL _drawn)
    message(FATAL_ERROR "${_png} is not the ${_size}-pixel image")
  endif()
endforeach()
message(STATUS "desktop entry, program and icons installed under ${PREFIX}")
