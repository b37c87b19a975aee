# Everything about installing, in one place: what `cmake --install` puts
# where (GNUInstallDirs), the man pages and shell completion, and the Debian
# package CPack makes of it (`make package`). A Windows build installs
# nothing: packaging/package.sh puts its files into the zip.
if(WIN32)
  return()
endif()

include(GNUInstallDirs)
# `make package` builds what it installs; installing does not build the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The stand-in for the host's support library lives in a folder of its own,
# so that it never takes the place of a host's libzolvar.so; tz52 loads it
# from there when the system has none.
set(TZ52_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/tz52drv)
file(RELATIVE_PATH tz52_libdir_from_bindir /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})

# ---- man pages: docs/man/*.scd, turned into roff at build time ------------
find_program(TZ52_SCDOC scdoc)
set(tz52_man_pages "")
if(TZ52_SCDOC)
  foreach(page tz52.1 tz52sim.1)
    # The release number goes into the page's header.
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.scd ${PROJECT_BINARY_DIR}/docs/man/${page}.scd @ONLY)
    set(out ${PROJECT_BINARY_DIR}/docs/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND sh -c "'${TZ52_SCDOC}' < '${PROJECT_BINARY_DIR}/docs/man/${page}.scd' | gzip -9n > '${out}'"
      DEPENDS ${PROJECT_BINARY_DIR}/docs/man/${page}.scd VERBATIM)
    list(APPEND tz52_man_pages ${out})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${tz52_man_pages})
else()
  # The build goes on without them; `make package` stops here and says why.
  message(STATUS "scdoc not found: the man pages are not built (apt-get install scdoc)")
  add_custom_target(man_pages
    COMMAND ${CMAKE_COMMAND} -E echo "the man pages need scdoc, which is not installed (apt-get install scdoc)"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()

# ---- the Debian changelog: one entry per release, pointing at CHANGELOG.md,
# compressed reproducibly (no name or time in the gzip header) ------------
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in ${PROJECT_BINARY_DIR}/docs/changelog @ONLY)
set(tz52_changelog_gz ${PROJECT_BINARY_DIR}/docs/changelog.gz)
add_custom_command(OUTPUT ${tz52_changelog_gz}
  COMMAND sh -c "gzip -9n < '${PROJECT_BINARY_DIR}/docs/changelog' > '${tz52_changelog_gz}'"
  DEPENDS ${PROJECT_BINARY_DIR}/docs/changelog VERBATIM)
add_custom_target(changelog_gz ALL DEPENDS ${tz52_changelog_gz})

# ---- what is installed -------------------------------------------------------
install(TARGETS tz52drv LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zolvar LIBRARY DESTINATION ${TZ52_PRIVATE_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/driver/driver_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tz52drv)

foreach(tool tz52 tz52sim)
  if(TARGET ${tool})
    # Installed programs find the installed library; no build-tree path.
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${tz52_libdir_from_bindir}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/${tool}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endif()
endforeach()
if(TARGET tz52_host)
  target_compile_definitions(tz52_host PRIVATE TZ52_LIBDIR_FROM_BINDIR="${tz52_libdir_from_bindir}")
endif()
if(tz52_man_pages)
  install(FILES ${tz52_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  ${PROJECT_SOURCE_DIR}/docs/performance.md ${PROJECT_SOURCE_DIR}/packaging/copyright
  ${tz52_changelog_gz}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tz52drv)

# ---- the Debian package: `cpack -G DEB` in the build tree ----------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tz52drv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tz52drv maintainers <tz52drv@example.org>")
set(CPACK_PACKAGE_VENDOR "tz52drv")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file and the ldconfig trigger, as for any package with a library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps runs in the staging folder; the stand-in is found there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${TZ52_PRIVATE_LIBDIR})
file(READ ${PROJECT_SOURCE_DIR}/packaging/description.txt CPACK_DEBIAN_PACKAGE_DESCRIPTION)
string(STRIP "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}" CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
