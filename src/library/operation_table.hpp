// The driver object's operation table. Its slots and their routine types
// are those of tarvenix/tarvenix.h; docs/binary-interface.md is the
// reference for host authors.
#pragma once

#include <array>

#include "library/abi.hpp"

namespace tarvenix::library {

// The driver's table, slot n at index n. A host may install a table of its
// own in a driver object; an entry equal to this table's is the driver's
// own routine.
extern const std::array<Code, TVM30_SLOT_COUNT> kOperationTable;

}  // namespace tarvenix::library
