# The platform choice, made once: which serial backend the library links and
# how the finished library is shaped (exports, imports, resources).
if(WIN32)
  set(TZ52_SERIAL_BACKEND ${PROJECT_SOURCE_DIR}/serial/serial_win32.cpp)
  function(tz52_finish_driver_library target)
    message(FATAL_ERROR "the Windows library is not built yet")
  endfunction()
else()
  # Line speeds without a termios constant need <asm/termbits.h>, which clashes
  # with <termios.h>, so they live in a file of their own.
  set(TZ52_SERIAL_BACKEND ${PROJECT_SOURCE_DIR}/serial/serial_posix.cpp
    ${PROJECT_SOURCE_DIR}/serial/serial_posix_termios2.cpp)
  function(tz52_finish_driver_library target)
    target_link_libraries(${target} PRIVATE zolvar)
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/driver/tz52drv.map -Wl,--no-undefined)
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/driver/tz52drv.map)
  endfunction()
endif()
