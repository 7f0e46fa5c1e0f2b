// What a line service counts per line: the first thing a forecourt engineer
// asks when a line misbehaves is how often, and how.
#pragma once

#include <cstdint>

namespace tarvenix {

struct LinkStatistics {
  std::uint64_t exchanges = 0;          // command exchanges the driver asked for
  std::uint64_t accepted = 0;           // replies the reply check accepted
  std::uint64_t noEtx = 0;              // refused with 209
  std::uint64_t wrongLength = 0;        // refused with 219
  std::uint64_t badCheckByte = 0;       // refused with 222
  std::uint64_t badFirstByte = 0;       // refused with 223
  std::uint64_t timeouts = 0;           // tries that got no reply at all
  std::uint64_t retries = 0;            // frames sent again
  std::uint64_t reinitialisations = 0;  // ports reopened and lines reset
  std::uint64_t acknowledgements = 0;   // ACK and NAK bytes sent

  // Counts a refusal under its error code.
  void CountRejection(std::uint32_t code) {
    switch (code) {
      case 209:
        ++noEtx;
        break;
      case 219:
        ++wrongLength;
        break;
      case 222:
        ++badCheckByte;
        break;
      case 223:
        ++badFirstByte;
        break;
      default:
        break;
    }
  }
};

}  // namespace tarvenix
