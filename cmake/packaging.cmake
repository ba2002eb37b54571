# Installing and packaging, included by the top-level CMakeLists.txt: the library with its header,
# orvex and orvex-sim, their manual pages, a CMake package (find_package(orvex) -> orvex::ORVEX_DLL)
# and orvex.pc for pkg-config, the Python package; `make package` builds one Debian package with
# all of it.
include(CMakePackageConfigHelpers)
set(ORVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/orvex)
install(EXPORT orvexTargets NAMESPACE orvex:: DESTINATION ${ORVEX_CMAKE_DIR} FILE orvexTargets.cmake)
configure_package_config_file(cmake/orvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orvexConfig.cmake INSTALL_DESTINATION ${ORVEX_CMAKE_DIR})
# The major version is the soname's: any 1.x library serves a program built against 1.y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvexConfig.cmake ${PROJECT_BINARY_DIR}/orvexConfigVersion.cmake
  DESTINATION ${ORVEX_CMAKE_DIR})

# orvex.pc carries absolute paths under the prefix that the install is made to, which is known only
# then (cmake --install --prefix, or /usr inside the Debian package), so it is written at install time.
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(ORVEX_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
  set(ORVEX_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
  set(ORVEX_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
else()
  set(ORVEX_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(ORVEX_PC_PREFIX "@ORVEX_PC_PREFIX@")  # left for the install step
configure_file(cmake/orvex.pc.in ${PROJECT_BINARY_DIR}/orvex.pc.in @ONLY)
install(CODE "
  set(ORVEX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/orvex.pc.in\" \"${PROJECT_BINARY_DIR}/orvex.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/orvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages of the installed programs, compressed as Debian keeps them when gzip is at hand.
if(ORVEX_BUILD_TOOLS AND NOT WIN32)
  find_program(ORVEX_GZIP gzip)
  set(ORVEX_MAN_PAGES orvex.1 orvex-sim.1)
  set(ORVEX_MAN_FILES)
  foreach(page ${ORVEX_MAN_PAGES})
    if(ORVEX_GZIP)
      add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${page} ${PROJECT_BINARY_DIR}/man/${page}
        COMMAND ${ORVEX_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/man/${page}
        DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
        VERBATIM)
      list(APPEND ORVEX_MAN_FILES ${PROJECT_BINARY_DIR}/man/${page}.gz)
    else()
      list(APPEND ORVEX_MAN_FILES ${PROJECT_SOURCE_DIR}/man/${page})
    endif()
  endforeach()
  add_custom_target(orvex_man_pages ALL DEPENDS ${ORVEX_MAN_FILES})
  # Whatever builds the programs builds their pages, so that an install after `make demo` (which
  # builds only the library and the programs) finds every file it installs.
  foreach(program orvex orvex-sim)
    if(TARGET ${program})
      add_dependencies(${program} orvex_man_pages)
    endif()
  endforeach()
  install(FILES ${ORVEX_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The Python package (the binding and the python-can interface) where Debian's python3 finds it,
# with the metadata that registers the interface with python-can: can.Bus(interface="orvex").
if(NOT WIN32)
  set(ORVEX_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
    "Where the Python package orvex is installed (relative to the prefix)")
  file(STRINGS ${PROJECT_SOURCE_DIR}/python/orvex.dist-info/METADATA ORVEX_PYTHON_VERSION
    REGEX "^Version: ")
  if(NOT ORVEX_PYTHON_VERSION STREQUAL "Version: ${PROJECT_VERSION}")
    message(SEND_ERROR "python/orvex.dist-info/METADATA says '${ORVEX_PYTHON_VERSION}', "
                       "the project is ${PROJECT_VERSION}")
  endif()
  install(DIRECTORY python/orvex/ DESTINATION ${ORVEX_PYTHON_INSTALL_DIR}/orvex
    FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
  install(FILES python/orvex.dist-info/METADATA python/orvex.dist-info/entry_points.txt
    DESTINATION ${ORVEX_PYTHON_INSTALL_DIR}/orvex-${PROJECT_VERSION}.dist-info)
endif()

# make package: one Debian package with everything above. Its dependencies (libc6, libstdc++6,
# libgcc-s1) are computed by dpkg-shlibdeps from the installed binaries.
set(ORVEX_PACKAGE_MAINTAINER "ORVEX_DLL developers <orvex@example.invalid>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ORVEX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "C library and tools for CANopen servo drives on a serial-to-CAN adapter")
# One line of the control file per line here (dpkg shows them as they are).
set(CPACK_PACKAGE_DESCRIPTION [=[
ORVEX_DLL (libORVEX_DLL.so) commands CANopen servo drives (CiA 301 expedited
SDO, CiA 402 drive profile) through a serial-to-CAN adapter on a serial port:
device control, profile position, profile velocity, homing, profile torque,
position and status queries, object access and raw frames.
The package also holds the orvex command-line tool, the orvex-sim drive
simulator (an adapter with simulated drives on a pseudo-terminal), the header
orvex.h, a CMake package (find_package(orvex)) and orvex.pc for pkg-config,
and the Python package orvex: the binding (ctypes over the library) and the
adapter as a python-can interface (can.Bus(interface="orvex"), which needs
python3-can and python3-serial).]=])
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ORVEX_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev) reads the binaries' needs and CPack asks `file` which files are
# binaries; without them the package depends on what they find for a build on Debian 12.
find_program(ORVEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(ORVEX_FILE_COMMAND file)
mark_as_advanced(ORVEX_DPKG_SHLIBDEPS ORVEX_FILE_COMMAND ORVEX_GZIP)
if(ORVEX_DPKG_SHLIBDEPS AND ORVEX_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
endif()
# The Python package needs only python3; its python-can interface needs python-can and pyserial.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-can (>= 4), python3-serial")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
