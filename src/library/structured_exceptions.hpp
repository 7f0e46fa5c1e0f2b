// Windows structured exceptions at the boundary of the 32-bit Windows build.
//
// A host's runtime and the driver's do not share C++ exceptions, so on
// 32-bit Windows only structured exceptions cross the boundary, in both
// directions:
//   - a failure of the driver leaves each routine as a structured exception
//     raised with RaiseException (the codes of tarvenix.h);
//   - a structured exception raised by the host's code while the driver
//     called it is caught where the driver made the call, the host's frames
//     above it unwound, and it goes on inside the driver as a C++ exception,
//     EHostException, so that the driver's own frames unwind (leaving every
//     line lock) and SendCommand can end it like any other exception of its
//     exchange. Where the driver does not end it, the routine that the host
//     called raises it again with the host's own code, flags and parameters.
//
// mingw's g++ has no __try/__except on i386 and its C++ exceptions do not
// use the structured exception chain, so CallProtected registers a frame on
// that chain (fs:[0]) by hand.
#pragma once

#include <cstdint>
#include <exception>

#include "tarvenix/tarvenix.h"

namespace tarvenix::library {

// A structured exception as raised: what RaiseException takes.
struct Fault {
  static constexpr std::uint32_t kMaxParameters = 15;  // EXCEPTION_MAXIMUM_PARAMETERS

  std::uint32_t code = 0;
  std::uint32_t flags = 0;  // EXCEPTION_NONCONTINUABLE or 0
  std::uint32_t parameterCount = 0;
  std::uintptr_t parameters[kMaxParameters] = {};
};

// A structured exception of the host's, carried through the driver's frames.
class EHostException : public std::exception {
 public:
  explicit EHostException(const Fault& fault) : fault_(fault) {}
  const Fault& fault() const { return fault_; }
  const char* what() const noexcept override { return "structured exception raised by the host"; }

 private:
  Fault fault_;
};

// Runs routine(context). Returns true when it returned; false when a
// structured exception raised inside it was caught here, the frames above
// this one unwound and `fault` filled in.
bool CallProtected(void (*routine)(void* context), void* context, Fault& fault) noexcept;

// The exception in flight (called inside a catch block) as the fault to
// raise: a host's exception as it was raised, a range error, ESerialIO with
// its message, Abstract0, or anything else with its message. A message is
// copied to a buffer of the calling thread that stays valid until the
// thread's next call into the driver.
Fault CurrentFault() noexcept;

// RaiseException with the fault's code, flags and parameters. Returns when
// a handler of the host continues the exception.
void Raise(const Fault& fault) noexcept;

}  // namespace tarvenix::library
