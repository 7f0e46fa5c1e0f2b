# Debian packages, built by scripts/package.sh from the release preset:
#   libtarvenix2     the shared library (runtime)
#   libtarvenix-dev  headers, static libraries, CMake package, tarvenix.pc
#   tarvenix-tools   the commands with their documents and manual pages
#   tarvenixd        the forecourt service with its systemd unit
set(CPACK_PACKAGE_NAME tarvenix)
set(CPACK_PACKAGE_VENDOR "Tarvenix developers")
set(CPACK_PACKAGE_CONTACT "Tarvenix developers <tarvenix@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL runtime development tools service)

set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends: from dpkg-shlibdeps
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarvenix${PROJECT_VERSION_MAJOR})
# A shlibs file, so that packages built against the library depend on it,
# and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "Driver for Tarvenix fuel dispensers - shared library
libTarvenix is the driver a forecourt control program loads to operate
dispensers whose controllers speak the Tarvenix serial protocol. It exports
GetDI30 and GetDriver25, which make the driver object with its fixed table
of 24 operations; the host supplies the line service that owns the serial
lines.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtarvenix-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "Driver for Tarvenix fuel dispensers - development files
The public headers (the C header of the binary interface and the C++
headers of TVM30 and TComLink), the static C++ core and serial line service
for hosts that drive dispensers in their own process, the CMake package
(find_package(Tarvenix)) and tarvenix.pc for pkg-config.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarvenix-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "Driver for Tarvenix fuel dispensers - commands
tarvenix drives dispensers through the driver, on simulated dispensers or a
real serial line, and shows every byte on the line when asked;
tarvenix-sim serves simulated dispensers on a byte stream or a pseudo
terminal.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME tarvenixd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
# The zones of `timezone` other than UTC, for the day-end.
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS tzdata)
set(CPACK_DEBIAN_SERVICE_DESCRIPTION
  "Driver for Tarvenix fuel dispensers - forecourt service
tarvenixd runs every dispenser on its serial lines through the driver:
it polls the pumps, follows each delivery, reconciles it with the totaliser
counters and keeps the finished sales in an SQLite journal until a point of
sale clears them, across power cuts and crashes. A systemd unit runs it
with the configuration in /etc/tarvenixd.toml.")

include(CPack)

cpack_add_component(runtime DISPLAY_NAME "Shared library")
cpack_add_component(development DISPLAY_NAME "Development files" DEPENDS runtime)
cpack_add_component(tools DISPLAY_NAME "Commands")
cpack_add_component(service DISPLAY_NAME "Forecourt service")
