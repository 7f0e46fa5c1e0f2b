// The driver's pauses taking no time, for drivers whose pauses nobody
// watches.
#pragma once

#include <cstdint>
#include <tarvenix/tvm30.hpp>

namespace tarvenix::testing {

inline Sleeper NoPause() {
  return {[](void*, std::uint32_t) {}, nullptr};
}

}  // namespace tarvenix::testing
