// A simulated serial line: the controllers of up to 32 dispensers sharing
// one bus, as the host's line service sees them.
//
// The line reads the bytes the host sends with a FrameAssembler. A frame
// for an address without a dispenser, a malformed frame and line noise get
// no answer, as on a real bus, where a controller that cannot trust a frame
// must keep quiet. A well-formed frame goes to its dispenser, whose reply
// then passes through that dispenser's fault injector.
//
// Repetitions: a line service that got no usable reply sends the same frame
// again, with the same sequence digit, before it acknowledges anything. A
// frame equal to the last one its address received (same digit and text)
// with no ACK or NAK on the line since that frame was answered is such a
// repetition: the controller sends its last reply again without carrying
// out the command a second time, so a repeated start never starts twice.
// The digit alone cannot tell: the host restarts address 1's digits at 0
// after every S reply, so consecutive state polls of address 1 all carry 0;
// but the host acknowledges every reply it reads, so between two fresh
// frames there is always an ACK or NAK.
//
// ACK and NAK carry no address; they answer the dispenser that replied
// last. ACK after a final reading (F or M) closes the delivery; a NAK keeps
// it open, and the next C poll gets the final reading again.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/protocol.hpp>

#include "sim/dispenser.hpp"
#include "sim/faults.hpp"
#include "sim/reply.hpp"
#include "sim/request_frame.hpp"

namespace tarvenix::sim {

class SimulatedLine {
 public:
  explicit SimulatedLine(lines::Clock& clock) : clock_(clock) {}

  // Puts a dispenser at `addr` (1..32), replacing any there.
  Dispenser& AddDispenser(std::uint8_t addr, DispenserConfig config = {});
  // The dispenser at `addr`, or nullptr.
  Dispenser* At(std::uint8_t addr);

  // Fault plan of the dispenser at `addr`; its draws are seeded from `seed`
  // and the address, so each dispenser has its own reproducible series.
  void SetFaults(std::uint8_t addr, const FaultPlan& plan, std::uint64_t seed);
  const FaultInjector* Faults(std::uint8_t addr) const;

  // Takes the bytes the host sent and returns what the line sends back,
  // which may be nothing. Bytes of an incomplete frame wait for the next
  // call. Allocation-free.
  Transmission Receive(std::span<const std::uint8_t> bytes);

  // Frames heard, including those for other addresses and repetitions.
  std::uint64_t FramesHeard() const { return framesHeard_; }
  std::uint64_t Repetitions() const { return repetitions_; }
  std::uint64_t BytesDropped() const { return assembler_.Dropped(); }

 private:
  struct Slot {
    std::optional<Dispenser> dispenser;
    std::optional<FaultInjector> faults;
    std::array<std::uint8_t, wire::frame::kMaxText> lastFrame{};
    std::uint8_t lastSeq = 0;
    std::uint8_t lastLength = 0;             // 0: no frame yet
    std::uint64_t acknowledgementsThen = 0;  // acknowledgements_ when it was answered
    Transmission lastReply;
  };

  Transmission Answer(const RequestFrame& frame);

  lines::Clock& clock_;
  FrameAssembler assembler_;
  std::array<Slot, protocol::kAddrCount> slots_;
  std::uint8_t lastReplier_ = 0;        // address, 0 for none
  std::uint64_t acknowledgements_ = 0;  // ACK and NAK bytes heard
  std::uint64_t framesHeard_ = 0;
  std::uint64_t repetitions_ = 0;
};

}  // namespace tarvenix::sim
