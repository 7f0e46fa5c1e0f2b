// The two directions in which control crosses the binary boundary.
//
// Boundary(body) wraps the body of every routine the host can call: the
// exported factories, the 24 slots and the two handlers. HostCall(call) wraps
// every call the driver makes into code the host may have supplied: the line
// service's slots, and its own operation table (which a host may have
// replaced).
//
// Natively both are plain calls and C++ exceptions pass through them:
// ESerialIO and ERangeError reach the host, and so does whatever the host's
// own routines throw. On 32-bit Windows (see structured_exceptions.hpp)
// Boundary turns any C++ exception into a structured exception raised after
// the catch block has been left, and HostCall turns a structured exception
// raised by the host into EHostException.
#pragma once

#include <stdexcept>
#include <type_traits>
#include <utility>

#include "library/abi.hpp"

#if TARVENIX_STRUCTURED_EXCEPTIONS
#include "library/structured_exceptions.hpp"
#endif

namespace tarvenix::library {

// Abstract0 has no implementation: calling it fails with this.
class EAbstractError : public std::logic_error {
 public:
  EAbstractError() : std::logic_error("Abstract error") {}
};

#if TARVENIX_STRUCTURED_EXCEPTIONS

// If a handler of the host continues the exception, the routine returns a
// zero result and writes nothing more.
template <typename Result, typename Body>
Result Boundary(Body&& body) noexcept {
  Fault fault;
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    fault = CurrentFault();
  }
  Raise(fault);
  return Result();
}

template <typename Call>
auto HostCall(Call&& call) {
  using Result = std::invoke_result_t<Call&>;
  if constexpr (std::is_void_v<Result>) {
    Fault fault;
    auto run = [](void* context) { (*static_cast<std::remove_reference_t<Call>*>(context))(); };
    if (!CallProtected(run, &call, fault)) {
      throw EHostException(fault);
    }
  } else {
    Result result{};
    HostCall([&] { result = call(); });
    return result;
  }
}

#else

template <typename Result, typename Body>
Result Boundary(Body&& body) {
  return std::forward<Body>(body)();
}

template <typename Call>
auto HostCall(Call&& call) {
  return std::forward<Call>(call)();
}

#endif

}  // namespace tarvenix::library
