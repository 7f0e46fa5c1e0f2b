// The last release's path and namespace of <tarvenix/lines/serial_com_link.hpp>,
// kept for one release: include the new path and use tarvenix::lines.
#pragma once

#include <tarvenix/lines/serial_com_link.hpp>

namespace tarvenix {
namespace serial = lines;
}  // namespace tarvenix
