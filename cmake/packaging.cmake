# What `cmake --install` puts where, the CMake and pkg-config descriptions of the engine for its
# clients, the man pages and the Debian package (`cpack -G DEB`).
include(CMakePackageConfigHelpers)

set(CORDANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Cordane)

# Libraries and programs. Test programs, fuzzers, benchmarks and make-srec stay in the build tree.
# On Windows the DLLs go to bin/ beside the programs and their import libraries to lib/.
install(TARGETS cordane zr318 EXPORT CordaneTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set_target_properties(cordane zr318 PROPERTIES INSTALL_RPATH "${KORVEL_INSTALL_RPATH_LIBRARIES}")
# The programs that exist in this build (on Windows the emulator never does).
set(korvel_programs)
foreach(program cordane-cli korvel-sim)
  if(TARGET ${program})
    list(APPEND korvel_programs ${program})
  endif()
endforeach()
# The operator's program, when Qt 6 was found (on Windows, when the pictures could be drawn).
if(TARGET brenmark)
  list(APPEND korvel_programs brenmark)
endif()
if(korvel_programs)
  install(TARGETS ${korvel_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The program cordane runs the commands that drive a reader in (tools/CMakeLists.txt).
if(TARGET cordane-engine AND WIN32)
  # On Windows beside cordane.exe and the DLLs it loads, where the system looks for them.
  install(TARGETS cordane-engine RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
elseif(TARGET cordane-engine)
  install(TARGETS cordane-engine RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/cordane)
endif()

# The engine's interface only: its other headers (the system's facts, the formats) serve the
# programs built here.
install(FILES ${PROJECT_SOURCE_DIR}/engine/include/cordane/cordane.h
              ${PROJECT_SOURCE_DIR}/engine/include/cordane/platform.h
              ${PROJECT_SOURCE_DIR}/engine/include/cordane/loader_frame.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cordane)
install(FILES ${PROJECT_SOURCE_DIR}/link/include/zr318.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# find_package(Cordane) gives Cordane::cordane (and Cordane::zr318).
install(EXPORT CordaneTargets NAMESPACE Cordane:: DESTINATION ${CORDANE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/CordaneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/CordaneConfig.cmake
                              INSTALL_DESTINATION ${CORDANE_CMAKE_DIR})
# 0.x releases promise nothing across minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CordaneConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/CordaneConfig.cmake ${PROJECT_BINARY_DIR}/CordaneConfigVersion.cmake
        DESTINATION ${CORDANE_CMAKE_DIR})

# pkg-config: cordane.pc, whose paths are relative to its own place.
file(RELATIVE_PATH CORDANE_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" CORDANE_PC_TO_PREFIX "${CORDANE_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/cordane.pc.in ${PROJECT_BINARY_DIR}/cordane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cordane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Man pages, made at build time from the freshly built programs' --help.
set(korvel_manpages_default ON)
if(CMAKE_CROSSCOMPILING)
  set(korvel_manpages_default OFF)  # the programs cannot run here
endif()
option(KORVEL_MANPAGES "Make the man pages from the programs' --help" ${korvel_manpages_default})
if(KORVEL_MANPAGES)
  set(korvel_manpages)
  function(korvel_manpage target name summary seealso)
    set(page ${PROJECT_BINARY_DIR}/man/${name}.1)
    add_custom_command(
      OUTPUT ${page} ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND sh ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/make_manpage.sh $<TARGET_FILE:${target}> ${name}
              ${PROJECT_VERSION} ${summary} ${seealso} > ${page}
      COMMAND gzip -9nf -c ${page} > ${page}.gz
      DEPENDS ${target} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/make_manpage.sh
      COMMENT "Man page ${name}(1) from ${name} --help"
      VERBATIM)
    set(korvel_manpages ${korvel_manpages} ${page} PARENT_SCOPE)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endfunction()
  korvel_manpage(cordane-cli cordane "download applications into Korvel card readers"
                 "korvel-sim(1)")
  korvel_manpage(korvel-sim korvel-sim "emulate a Korvel card reader on a pseudo-terminal"
                 "cordane(1)")
  add_custom_target(manpages ALL DEPENDS ${korvel_manpages})
endif()

# The Debian package: everything above in one package, its dependencies found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME cordane)
set(CPACK_PACKAGE_VENDOR "Korvel")
set(CPACK_PACKAGE_CONTACT "Korvel download system developers <korvel-dev@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download engine and tools for Korvel card readers")
set(CPACK_PACKAGE_DESCRIPTION
    "Cordane downloads application programs and driver libraries into the flash memory of\n"
    "Korvel card readers on a serial port. The package holds the engine (libcordane), the\n"
    "serial link (libzr318) with their headers, pkg-config file and CMake package, the\n"
    "cordane command-line tool and korvel-sim, a reader emulator on a pseudo-terminal.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The job log loads the PostgreSQL client library only when a postgresql:// target is used.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS libpq5)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)

# Windows: an installer (cpack -G NSIS: cordane-<version>-win64.exe) that puts the tree into
# Program Files\Cordane, offers to add its bin folder to PATH and registers an uninstaller, and
# the same tree as a portable zip (cpack -G ZIP).
if(WIN32)
  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_PACKAGE_FILE_NAME cordane-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Cordane)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Cordane)
  set(CPACK_NSIS_PACKAGE_NAME Cordane)
  set(CPACK_NSIS_DISPLAY_NAME "Cordane ${PROJECT_VERSION}")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  # A page of the installer: not on PATH (the default, also of a silent install), or on the PATH
  # of every user or of this one; the uninstaller takes it off again.
  set(CPACK_NSIS_MODIFY_PATH ON)
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
  set(CPACK_NSIS_CONTACT "${CPACK_PACKAGE_CONTACT}")
  # A 64-bit installer, like what it installs: it writes the 64-bit registry view and Program
  # Files, and runs where only 64-bit programs can (a 64-bit Wine without its 32-bit half).
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  # Brenmark in the Start menu (its folder is chosen on a page of the installer); the uninstaller
  # takes the shortcut away.
  if(TARGET brenmark)
    set(CPACK_PACKAGE_EXECUTABLES brenmark Brenmark)
  endif()
endif()
include(CPack)
