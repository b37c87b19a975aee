# Everything about installing, in one place: what `cmake --install` puts
# where (GNUInstallDirs), the man pages and shell completion, and the Debian
# packages CPack makes of it (`make package`): libtz52drv1 (the library),
# libtz52drv-dev (header and link) and tz52drv-tools (the programs). A
# Windows build installs nothing: packaging/package.sh puts its files into
# the zip.
if(WIN32)
  return()
endif()

# Debian's multiarch folder (lib/x86_64-linux-gnu) whatever the prefix:
# GNUInstallDirs picks it only for the prefix /usr, and the packages are
# staged under another. A folder the user chose other than plain lib stays.
if(CMAKE_LIBRARY_ARCHITECTURE AND (NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} OR "$CACHE{CMAKE_INSTALL_LIBDIR}" STREQUAL "lib"))
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (LIBDIR)" FORCE)
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
    # Through a file, not a pipe: a page scdoc refuses must fail the build,
    # not leave a page cut short at the error.
    add_custom_command(OUTPUT ${out}
      COMMAND sh -c "'${TZ52_SCDOC}' < '${PROJECT_BINARY_DIR}/docs/man/${page}.scd' > '${PROJECT_BINARY_DIR}/docs/man/${page}' && gzip -9n < '${PROJECT_BINARY_DIR}/docs/man/${page}' > '${out}'"
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

# ---- what is installed, by package (CPack component) ----------------------
# lib: the run-time library, all a host needs; dev: what building a host
# needs; tools: tz52, tz52sim and what comes with them.
install(TARGETS tz52drv LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/driver/driver_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tz52drv COMPONENT dev)
install(TARGETS zolvar LIBRARY DESTINATION ${TZ52_PRIVATE_LIBDIR} COMPONENT tools NAMELINK_COMPONENT tools)

foreach(tool tz52 tz52sim)
  if(TARGET ${tool})
    # Installed programs find the installed library; no build-tree path.
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${tz52_libdir_from_bindir}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/${tool}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tools)
  endif()
endforeach()
if(TARGET tz52_host)
  # Installed, tz52 loads the library by its SONAME file, which the library
  # package holds; the plain .so link comes only with the -dev package.
  target_compile_definitions(tz52_host PRIVATE TZ52_LIBDIR_FROM_BINDIR="${tz52_libdir_from_bindir}"
    TZ52_INSTALLED_LIBRARY_NAME="$<TARGET_SONAME_FILE_NAME:tz52drv>")
endif()
if(tz52_man_pages)
  install(FILES ${tz52_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()
# The bridge as a service: a template unit, one instance per serial line
# (tz52-bridge@line1 reads /etc/tz52drv/line1.conf); the package enables none.
if(TARGET tz52_bridge)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/tz52-bridge@.service DESTINATION lib/systemd/system COMPONENT tools)
endif()

# The packages, by component. The library package is named after the
# SONAME (libtz52drv.so.1: libtz52drv1), as Debian names library packages.
get_target_property(tz52_soversion tz52drv SOVERSION)
set(TZ52_DEB_COMPONENTS lib dev tools)
set(tz52_deb_package_lib libtz52drv${tz52_soversion})
set(tz52_deb_package_dev libtz52drv-dev)
set(tz52_deb_package_tools tz52drv-tools)

# Every package has its copyright and changelog in /usr/share/doc/PACKAGE;
# the project's own documents go with the tools.
foreach(component IN LISTS TZ52_DEB_COMPONENTS)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${tz52_changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${tz52_deb_package_${component}} COMPONENT ${component})
endforeach()
# The guides keep their folder beside the README, so that its links to
# docs/NAME.md lead somewhere on the installed system too.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${tz52_deb_package_tools} COMPONENT tools)
set(TZ52_GUIDES commissioning monitor bridge api console architecture performance)
list(TRANSFORM TZ52_GUIDES PREPEND ${PROJECT_SOURCE_DIR}/docs/)
list(TRANSFORM TZ52_GUIDES APPEND .md)
# The console's pictures, which its guide and the README show.
file(GLOB TZ52_GUIDE_PICTURES ${PROJECT_SOURCE_DIR}/docs/console-*.png)
install(FILES ${TZ52_GUIDES} ${TZ52_GUIDE_PICTURES}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${tz52_deb_package_tools}/docs COMPONENT tools)
# A bridge's configuration and points file to start from (copied to
# /etc/tz52drv/ by hand: the package enables and configures nothing).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/examples/line1.conf
  ${PROJECT_SOURCE_DIR}/packaging/examples/plant-points.txt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${tz52_deb_package_tools}/examples COMPONENT tools)

# ---- the Debian packages: `cpack -G DEB` in the build tree ----------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tz52drv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tz52drv maintainers <tz52drv@example.org>")
set(CPACK_PACKAGE_VENDOR "tz52drv")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TZ52_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE tz52drv)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The architecture the packages are for; packaging/package.sh reads it back
# from CPackConfig.cmake. A cross build names its own (arm64, armhf).
if(NOT TZ52_DEB_ARCHITECTURE)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE TZ52_DEB_ARCHITECTURE
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(TZ52_DEB_ARCHITECTURE "${TZ52_DEB_ARCHITECTURE}" CACHE STRING "Debian architecture of the packages")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TZ52_DEB_ARCHITECTURE})

foreach(component IN LISTS TZ52_DEB_COMPONENTS)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${tz52_deb_package_${component}})
  # Summary and long description, from packaging/description-PACKAGE.txt.
  file(READ ${PROJECT_SOURCE_DIR}/packaging/description-${tz52_deb_package_${component}}.txt description)
  string(STRIP "${description}" CPACK_DEBIAN_${upper}_DESCRIPTION)
endforeach()
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION misc)
# The header and the link, and tz52 (which loads the library at run time,
# where dpkg-shlibdeps cannot see it), need this very release of the library.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_TOOLS_DEPENDS lib)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS bash-completion)

set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library's shlibs file and the ldconfig trigger, as for any package
# with a public library (the stand-in in tz52drv-tools has no version in its
# SONAME, so it gets no shlibs line).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
# The tools' maintainer scripts look after the bridge's unit: systemd told
# of it, the bridges stopped on removal and restarted on an upgrade.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/tools-scripts/postinst
    ${PROJECT_SOURCE_DIR}/packaging/tools-scripts/prerm
    ${PROJECT_SOURCE_DIR}/packaging/tools-scripts/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The library needs libzolvar.so, which the host provides and no package
# does. dpkg-shlibdeps finds the stand-in where it is built, as a private
# library, so it neither fails nor adds a dependency on tz52drv-tools.
get_target_property(tz52_zolvar_dir zolvar BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${tz52_zolvar_dir})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
