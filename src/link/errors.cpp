#include "tarvenix/errors.hpp"

#include "link/range.hpp"

namespace tarvenix::link {

void ThrowRangeError() {
  throw ERangeError();
}

}  // namespace tarvenix::link
