# The platform choice, made once: which serial backend the library links and
# how the finished library is shaped (exports, imports, resources).
if(WIN32)
  set(TZ52_SERIAL_BACKEND ${PROJECT_SOURCE_DIR}/serial/serial_win32.cpp
    ${PROJECT_SOURCE_DIR}/serial/port_names.cpp)
  enable_language(RC)
  # tz52drv.dll: QmxMain exported by its plain name through the .def file;
  # --kill-at drops the "@4" that the compiler's own export of a __stdcall
  # function would carry, so no decorated second name appears. err imported
  # from ZOLVAR.dll through the import library made from host/ZOLVAR.def, and
  # a version resource naming the file.
  function(tz52_finish_driver_library target)
    configure_file(${PROJECT_SOURCE_DIR}/driver/tz52drv.rc.in ${CMAKE_CURRENT_BINARY_DIR}/tz52drv.rc @ONLY)
    target_sources(${target} PRIVATE
      ${PROJECT_SOURCE_DIR}/driver/tz52drv.def ${CMAKE_CURRENT_BINARY_DIR}/tz52drv.rc)
    target_link_libraries(${target} PRIVATE zolvar_import)
    target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--kill-at -Wl,--enable-stdcall-fixup)
    set_target_properties(${target} PROPERTIES PREFIX "")
  endfunction()
else()
  # Line speeds without a termios constant need <asm/termbits.h>, which clashes
  # with <termios.h>, so they live in a file of their own.
  set(TZ52_SERIAL_BACKEND ${PROJECT_SOURCE_DIR}/serial/serial_posix.cpp
    ${PROJECT_SOURCE_DIR}/serial/serial_posix_termios2.cpp ${PROJECT_SOURCE_DIR}/serial/port_names.cpp)
  function(tz52_finish_driver_library target)
    target_link_libraries(${target} PRIVATE zolvar)
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/driver/tz52drv.map -Wl,--no-undefined)
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/driver/tz52drv.map)
  endfunction()
endif()
