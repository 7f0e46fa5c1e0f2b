// The last release's path and namespace of <tarvenix/lines/policy_link.hpp>,
// kept for one release: include the new path and use tarvenix::lines.
#pragma once

#include <tarvenix/lines/policy_link.hpp>

namespace tarvenix {
namespace service = lines;
}  // namespace tarvenix
