// Counts every global allocation of the benchmark program, so benchmarks can
// report how many an operation makes (none, on its success path).
#pragma once

#include <cstdint>

namespace tarvenix::bench {

std::uint64_t AllocationCount();

}  // namespace tarvenix::bench
