// The floating-point environment of the driver's extended-precision work.
//
// Reals from the host are scaled, and reply values decoded, in the x87
// 80-bit format: 20.05 x 10 must come out just above 200.5, which needs the
// full 64-bit significand. The FPU's control word belongs to the calling
// thread, and hosts change it: most Windows runtimes run at 53-bit precision,
// and some unmask floating-point exceptions (a control word of 0x1332 traps
// on invalid operations, division by zero and overflow). The driver's results
// must not depend on that.
//
// ExtendedPrecision sets 64-bit precision, round-to-nearest and all
// exceptions masked for its lifetime, and on every way out, normal or by
// exception, puts back the host's control word and the host's exception
// flags, so neither the precision nor a flag raised by the driver's own
// arithmetic (a NaN compared, an inexact product) reaches the host. Where the
// compiler also uses SSE, MXCSR is treated the same way. On other processors
// the scope does nothing.
//
// The compiler does not model the FPU's state, so it may move arithmetic on
// values it holds in registers across the scope's edges. Code in a scope
// passes its inputs and results through Pin() to keep the arithmetic inside.
#pragma once

#include <cstdint>

namespace tarvenix::fpu {

#if defined(__i386__) || defined(__x86_64__)

class ExtendedPrecision {
 public:
  // Control word: exceptions masked (bits 0-5), precision 64 bits (bits
  // 8-9 = 11), round to nearest (bits 10-11 = 00). Other bits stay the host's.
  static constexpr std::uint16_t kMaskAll = 0x003F;
  static constexpr std::uint16_t kPrecisionMask = 0x0300;
  static constexpr std::uint16_t kRoundingMask = 0x0C00;
  static constexpr std::uint16_t kPrecision64 = 0x0300;

  ExtendedPrecision() {
    asm volatile("fnstcw %0" : "=m"(hostControl_)::"memory");
    asm volatile("fnstsw %0" : "=m"(hostStatus_)::"memory");
    const std::uint16_t driverControl = static_cast<std::uint16_t>(
        (hostControl_ & ~(kPrecisionMask | kRoundingMask)) | kPrecision64 | kMaskAll);
    asm volatile("fldcw %0" ::"m"(driverControl) : "memory");
#if defined(__SSE__)
    asm volatile("stmxcsr %0" : "=m"(hostMxcsr_)::"memory");
    // All six exceptions masked (bits 7-12), round to nearest (bits 13-14),
    // no flush-to-zero (bit 15) or denormals-are-zero (bit 6).
    const std::uint32_t driverMxcsr = (hostMxcsr_ & ~0xFFC0U) | 0x1F80U;
    asm volatile("ldmxcsr %0" ::"m"(driverMxcsr) : "memory");
#endif
  }

  ~ExtendedPrecision() {
    // The environment as it stands (register tags and stack top included),
    // with the host's control word and exception flags put back. fldenv is
    // the only way to clear the driver's flags without also clearing the
    // host's.
    Environment env;
    asm volatile("fnstenv %0" : "=m"(env)::"memory");
    env.control = hostControl_;
    env.status = static_cast<std::uint16_t>((env.status & ~kHostStatusBits) |
                                            (hostStatus_ & kHostStatusBits));
    asm volatile("fldenv %0" ::"m"(env) : "memory");
#if defined(__SSE__)
    asm volatile("ldmxcsr %0" ::"m"(hostMxcsr_) : "memory");
#endif
  }

  ExtendedPrecision(const ExtendedPrecision&) = delete;
  ExtendedPrecision& operator=(const ExtendedPrecision&) = delete;

 private:
  // Exception flags (bits 0-5), stack fault (6) and error summary (7).
  static constexpr std::uint16_t kHostStatusBits = 0x00FF;

  // The 28-byte environment of fnstenv/fldenv in 32-bit format, which is
  // also what they use in 64-bit mode.
  struct Environment {
    std::uint16_t control, reserved0;
    std::uint16_t status, reserved1;
    std::uint16_t tags, reserved2;
    std::uint32_t instructionOffset, instructionSelector, operandOffset, operandSelector;
  };

  std::uint16_t hostControl_ = 0;
  std::uint16_t hostStatus_ = 0;
#if defined(__SSE__)
  std::uint32_t hostMxcsr_ = 0;
#endif
};

// Makes the compiler treat `value` as read and rewritten in memory at this
// point, so arithmetic that produces it stays before and arithmetic that
// uses it stays after.
template <typename T>
inline void Pin(T& value) {
  asm volatile("" : "+m"(value));
}

#else

class ExtendedPrecision {
 public:
  ExtendedPrecision() = default;
  ExtendedPrecision(const ExtendedPrecision&) = delete;
  ExtendedPrecision& operator=(const ExtendedPrecision&) = delete;
};

template <typename T>
inline void Pin(T& /*value*/) {}

#endif

}  // namespace tarvenix::fpu
