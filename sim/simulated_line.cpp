#include "sim/simulated_line.hpp"

#include <algorithm>
#include <stdexcept>

namespace tarvenix::sim {
namespace {

std::size_t SlotOf(std::uint8_t addr) {
  if (addr < 1 || addr > protocol::kAddrCount) {
    throw std::out_of_range("dispenser address outside 1..32");
  }
  return addr - 1u;
}

}  // namespace

Dispenser& SimulatedLine::AddDispenser(std::uint8_t addr, DispenserConfig config) {
  Slot& slot = slots_[SlotOf(addr)];
  slot = Slot{};
  return slot.dispenser.emplace(addr, config);
}

Dispenser* SimulatedLine::At(std::uint8_t addr) {
  if (addr < 1 || addr > protocol::kAddrCount) {
    return nullptr;
  }
  auto& dispenser = slots_[addr - 1].dispenser;
  return dispenser ? &*dispenser : nullptr;
}

void SimulatedLine::SetFaults(std::uint8_t addr, const FaultPlan& plan, std::uint64_t seed) {
  slots_[SlotOf(addr)].faults.emplace(plan, seed ^ (0x9E3779B97F4A7C15ULL * addr));
}

const FaultInjector* SimulatedLine::Faults(std::uint8_t addr) const {
  if (addr < 1 || addr > protocol::kAddrCount) {
    return nullptr;
  }
  const auto& faults = slots_[addr - 1].faults;
  return faults ? &*faults : nullptr;
}

Transmission SimulatedLine::Receive(std::span<const std::uint8_t> bytes) {
  Transmission out;
  for (std::uint8_t byte : bytes) {
    const LineInput input = assembler_.Feed(byte);
    switch (input.kind) {
      case LineInput::Kind::kNothing:
        break;
      case LineInput::Kind::kAck:
        ++acknowledgements_;
        if (Dispenser* d = At(lastReplier_)) {
          d->Advance(clock_.NowUs());
          d->OnAck();
        }
        break;
      case LineInput::Kind::kNak:
        ++acknowledgements_;
        // The host refused the reply; whatever it carried stays to be asked
        // for again.
        break;
      case LineInput::Kind::kFrame:
        out = Answer(input.frame);
        break;
    }
  }
  return out;
}

Transmission SimulatedLine::Answer(const RequestFrame& frame) {
  ++framesHeard_;
  Slot& slot = slots_[frame.wireAddr];
  if (!slot.dispenser) {
    return {};
  }
  const auto text = frame.Text();
  const bool repeated = slot.lastLength == text.size() && slot.lastSeq == frame.seqChar &&
                        slot.acknowledgementsThen == acknowledgements_ &&
                        std::ranges::equal(text, std::span(slot.lastFrame).first(text.size()));
  Transmission reply;
  if (repeated) {
    ++repetitions_;
    reply = slot.lastReply;
  } else {
    reply = slot.dispenser->Execute(text, frame.seqChar, clock_.NowUs());
    std::ranges::copy(text, slot.lastFrame.begin());
    slot.lastLength = static_cast<std::uint8_t>(text.size());
    slot.lastSeq = frame.seqChar;
    slot.acknowledgementsThen = acknowledgements_;
    slot.lastReply = reply;
  }
  lastReplier_ = frame.Addr();
  if (slot.faults && !reply.Empty()) {
    slot.faults->Apply(reply);
  }
  return reply;
}

}  // namespace tarvenix::sim
