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
    Opened(line);
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

bool LineService::Put(std::uint32_t line, std::span<const std::uint8_t> bytes) {
  Wire& wire = wires_[line - 1];
  clock_.Wait(bytes.size() * wire.byteUs);
  const Transmission answer = wire.peer != nullptr ? wire.peer->Receive(bytes) : Transmission{};
  if (answer.Empty()) {
    return true;
  }
  const Arrival arrival{.startUs = clock_.NowUs() + answer.delayUs, .reply = answer};
  if (wire.inFlight == kInFlight) {
    std::shift_left(wire.arrivals.begin(), wire.arrivals.end(), 1);
    --wire.inFlight;
  }
  auto* const end = wire.arrivals.begin() + wire.inFlight;
  auto* const at =
      std::upper_bound(wire.arrivals.begin(), end, arrival.startUs,
                       [](std::uint64_t startUs, const Arrival& a) { return startUs < a.startUs; });
  std::move_backward(at, end, end + 1);
  *at = arrival;
  ++wire.inFlight;
  return true;
}

std::size_t LineService::Receive(Wire& wire, std::span<std::uint8_t> into) {
  const Arrival& first = wire.arrivals.front();
  const std::uint64_t endUs = first.startUs + first.reply.length * wire.byteUs;
  if (endUs > clock_.NowUs()) {
    clock_.Wait(endUs - clock_.NowUs());
  }
  const std::size_t length = first.reply.length;
  std::copy_n(first.reply.bytes.begin(), std::min(length, into.size()), into.begin());
  std::shift_left(wire.arrivals.begin(), wire.arrivals.begin() + wire.inFlight, 1);
  --wire.inFlight;
  return length;
}

lines::PolicyLink::Collected LineService::Collect(std::uint32_t line, std::span<std::uint8_t> reply,
                                                  std::uint8_t /*expectedLen*/) {
  Wire& wire = wires_[line - 1];
  if (wire.inFlight == 0 || wire.arrivals.front().startUs >= clock_.NowUs() + wire.timeoutUs) {
    clock_.Wait(wire.timeoutUs);
    return {};
  }
  // The simulated controller sends a reply in one piece: the reply is what
  // it sent, cut at the end of the caller's buffer.
  return {.received = std::min(Receive(wire, reply), reply.size())};
}

lines::PolicyLink::Collected LineService::Drain(std::uint32_t line, std::span<std::uint8_t> into) {
  Wire& wire = wires_[line - 1];
  Collected out;
  // A reply already coming in is taken whole: the line is busy until its end.
  while (wire.inFlight > 0 && wire.arrivals.front().startUs <= clock_.NowUs()) {
    out.received += Receive(
        wire, out.received < into.size() ? into.subspan(out.received) : std::span<std::uint8_t>{});
  }
  return out;
}

lines::PolicyLink::Collected LineService::Listen(std::uint32_t line, std::uint64_t untilUs,
                                                 std::span<std::uint8_t> into) {
  Wire& wire = wires_[line - 1];
  if (wire.inFlight == 0 || wire.arrivals.front().startUs >= untilUs) {
    if (untilUs > clock_.NowUs()) {
      clock_.Wait(untilUs - clock_.NowUs());
    }
    return {};
  }
  return {.received = Receive(wire, into)};
}

}  // namespace tarvenix::sim
