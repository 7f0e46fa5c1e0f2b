#include "sim/line_service.hpp"

#include <algorithm>

namespace tarvenix::sim {
namespace {

constexpr std::uint64_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr std::uint64_t kUsPerSettingUnit = 10'000;

}  // namespace

void LineService::Attach(std::uint32_t line, SimulatedLine& peer) {
  if (IsLine(line)) {
    std::lock_guard lock(LineLock(line));
    wires_[line - 1].peer = &peer;
  }
}

bool LineService::IsOpen(std::uint32_t line) const {
  if (!IsLine(line)) {
    return false;
  }
  std::lock_guard lock(LineLock(line));
  return wires_[line - 1].open;
}

std::int32_t LineService::ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                        std::uint32_t baud) {
  if (!IsLine(line)) {
    return lines::kResultNoLine;
  }
  if (setting == 0 || baud == 0) {
    return lines::kResultBadSetting;
  }
  {
    const auto lock = LineTurn(line);
    Wire& wire = wires_[line - 1];
    wire.timeoutUs = setting * kUsPerSettingUnit;
    wire.byteUs = kBitsPerByte * 1'000'000 / baud;
    wire.open = true;
  }
  Notify({.kind = lines::LineEvent::Kind::kConfigured,
          .line = line,
          .timeUs = clock_.NowUs(),
          .setting = setting,
          .baud = baud});
  return lines::kResultOk;
}

std::int32_t LineService::Ready(std::uint32_t line) {
  return wires_[line - 1].open ? lines::kResultOk : lines::kResultNotOpen;
}

Transmission LineService::Transmit(Wire& wire, std::span<const std::uint8_t> bytes) {
  clock_.Wait(bytes.size() * wire.byteUs);
  return wire.peer != nullptr ? wire.peer->Receive(bytes) : Transmission{};
}

bool LineService::Send(std::uint32_t line, std::span<const std::uint8_t> bytes) {
  // Whatever came back would be stray bytes: the controller answers no
  // acknowledgement.
  Transmit(wires_[line - 1], bytes);
  return true;
}

lines::PolicyLink::Collected LineService::Attempt(std::uint32_t line,
                                                  std::span<const std::uint8_t> request,
                                                  std::span<std::uint8_t> reply,
                                                  std::uint8_t /*expectedLen*/) {
  Wire& wire = wires_[line - 1];
  const Transmission answer = Transmit(wire, request);
  if (answer.Empty() || answer.delayUs >= wire.timeoutUs) {
    clock_.Wait(wire.timeoutUs);
    return {};
  }
  // The simulated controller sends a reply in one piece: the reply is what
  // it sent, cut at the end of the caller's buffer.
  clock_.Wait(answer.delayUs + answer.length * wire.byteUs);
  const std::size_t received = std::min<std::size_t>(answer.length, reply.size());
  std::copy_n(answer.bytes.begin(), received, reply.begin());
  return {.received = received};
}

}  // namespace tarvenix::sim
