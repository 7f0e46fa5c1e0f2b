# Install rules: the four parts the Debian packages follow, the CMake
# package, the pkg-config file and the packages themselves. Included from
# the top-level CMakeLists.txt when TARVENIX_INSTALL is on; paths are from
# the source tree's root.
include(CMakePackageConfigHelpers)

# A document gzipped without a timestamp, as Debian ships them, at
# compressed/NAME.gz in the build tree; its path goes to OUT and to the
# list tarvenix_compressed, which the build makes.
function(tarvenix_gzip source name out)
  set(copy ${PROJECT_BINARY_DIR}/compressed/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${source}
    VERBATIM)
  set(${out} ${copy}.gz PARENT_SCOPE)
  set(tarvenix_compressed ${tarvenix_compressed} ${copy}.gz PARENT_SCOPE)
endfunction()

# Four parts, which the Debian packages follow: the library a host loads
# (runtime), what a host builds against (development), the commands
# (tools) and the forecourt service (service). Each part's documents go to
# share/doc/<its package>.
set(tarvenix_runtime_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtarvenix${PROJECT_VERSION_MAJOR})
set(tarvenix_development_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtarvenix-dev)
set(tarvenix_tools_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvenix-tools)
set(tarvenix_service_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvenixd)
set(tarvenix_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvenix)

# The library, and the static core with TVM30 and TComLink for hosts that
# drive dispensers in their own process.
install(TARGETS Tarvenix tarvenix_core EXPORT TarvenixTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
    NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY include/tarvenix ${tarvenix_generated_include}/tarvenix
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES docs/binary-interface.md docs/performance.md
  DESTINATION ${tarvenix_development_doc} COMPONENT development)

if(TARVENIX_BUILD_TOOLS)
  # The line services for in-process hosts on Linux: the serial port
  # service and the policy it shares with our other services, with the
  # headers at their old paths (tarvenix/serial, tarvenix/service) for one
  # release.
  install(TARGETS tarvenix_lines EXPORT TarvenixTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(DIRECTORY lines/include/tarvenix
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

  # The commands.
  install(TARGETS tarvenix tarvenix-sim tarvenix-hq
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES docs/simulator.md docs/serial.md
    DESTINATION ${tarvenix_tools_doc} COMPONENT tools)

  # The forecourt service, with its systemd unit and an example
  # configuration for /etc/tarvenixd.toml.
  install(TARGETS tarvenixd
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  install(FILES packaging/tarvenixd.service
    DESTINATION lib/systemd/system COMPONENT service)
  install(FILES docs/forecourt.md
    DESTINATION ${tarvenix_service_doc} COMPONENT service)
  install(FILES packaging/tarvenixd.toml
    DESTINATION ${tarvenix_service_doc}/examples COMPONENT service)
  # The topics and payloads of the head-office uplink, as openapi.json is
  # the HTTP interface's.
  install(FILES forecourt/uplink/asyncapi.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvenixd COMPONENT service)
  install(FILES docs/head-office.md
    DESTINATION ${tarvenix_service_doc} COMPONENT service)
  install(DIRECTORY forecourt/web/
    DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvenixd/web COMPONENT service)

  # One manual page per command.
  foreach(page tarvenix.1:tools tarvenix-sim.1:tools tarvenixd.8:service)
    string(REPLACE ":" ";" page ${page})
    list(GET page 0 name)
    list(GET page 1 component)
    string(REGEX REPLACE ".*\\." "" section ${name})
    tarvenix_gzip(${PROJECT_SOURCE_DIR}/docs/man/${name} ${name} compressed)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
      COMPONENT ${component})
  endforeach()
endif()

# Each part carries the license and the change log, as Debian wants them.
tarvenix_gzip(${PROJECT_SOURCE_DIR}/CHANGELOG.md changelog tarvenix_changelog)
set(tarvenix_components runtime development)
if(TARVENIX_BUILD_TOOLS)
  list(APPEND tarvenix_components tools service)
endif()
foreach(component IN LISTS tarvenix_components)
  install(FILES LICENSE DESTINATION ${tarvenix_${component}_doc}
    RENAME copyright COMPONENT ${component})
  install(FILES ${tarvenix_changelog} DESTINATION ${tarvenix_${component}_doc}
    COMPONENT ${component})
endforeach()
add_custom_target(tarvenix_compressed_docs ALL DEPENDS ${tarvenix_compressed})

# find_package(Tarvenix 2.50 CONFIG): Tarvenix::core, Tarvenix::library and,
# where the tools were built, Tarvenix::lines (also as Tarvenix::serial and
# Tarvenix::service, its names of the last release).
install(EXPORT TarvenixTargets NAMESPACE Tarvenix::
  DESTINATION ${tarvenix_cmake_dir} COMPONENT development)
configure_package_config_file(cmake/TarvenixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarvenixConfig.cmake
  INSTALL_DESTINATION ${tarvenix_cmake_dir})
# A newer minor version keeps the operation table, so any 2.x will do.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarvenixConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarvenixConfig.cmake
  ${PROJECT_BINARY_DIR}/TarvenixConfigVersion.cmake
  DESTINATION ${tarvenix_cmake_dir} COMPONENT development)

# pkg-config: the core, found relative to the .pc file so that an
# installation can be moved (or unpacked from a package) as a whole.
file(RELATIVE_PATH tarvenix_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" tarvenix_pc_to_prefix ${tarvenix_pc_to_prefix})
configure_file(cmake/tarvenix.pc.in ${PROJECT_BINARY_DIR}/tarvenix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarvenix.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

include(cmake/packaging.cmake)
