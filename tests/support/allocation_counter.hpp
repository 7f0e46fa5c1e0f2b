// Counts every global allocation of the program that links this file, so
// tests and benchmarks can tell how many an operation makes (none, on its
// success path). Link it into the executable itself: it replaces the global
// operator new.
#pragma once

#include <cstdint>

namespace tarvenix::testing {

std::uint64_t AllocationCount();

}  // namespace tarvenix::testing
