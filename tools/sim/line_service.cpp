#include "line_service.hpp"

#include <algorithm>
#include <exception>

namespace tarvenix::sim {
namespace {

constexpr std::uint64_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr std::uint64_t kUsPerSettingUnit = 10'000;

}  // namespace

LineService::Line* LineService::Find(std::uint32_t line) {
  return line >= 1 && line <= lines_.size() ? &lines_[line - 1] : nullptr;
}

const LineService::Line* LineService::Find(std::uint32_t line) const {
  return line >= 1 && line <= lines_.size() ? &lines_[line - 1] : nullptr;
}

void LineService::Notify(const service::LineEvent& event) const {
  if (monitor_ != nullptr) {
    monitor_->OnLineEvent(event);
  }
}

void LineService::Attach(std::uint32_t line, SimulatedLine& peer) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->peer = &peer;
  }
}

service::LinkStats LineService::Stats(std::uint32_t line) const {
  const Line* l = Find(line);
  if (l == nullptr) {
    return {};
  }
  std::lock_guard lock(l->mutex);
  return l->stats;
}

std::uint32_t LineService::LineError(std::uint32_t line) const {
  const Line* l = Find(line);
  return l != nullptr ? l->lineError.load(std::memory_order_relaxed) : 0;
}

bool LineService::IsOpen(std::uint32_t line) const {
  const Line* l = Find(line);
  if (l == nullptr) {
    return false;
  }
  std::lock_guard lock(l->mutex);
  return l->open;
}

std::int32_t LineService::FailResult(std::uint32_t /*line*/) {
  return service::kResultFault;
}

void LineService::SetLineError(std::uint32_t line, std::uint32_t code) {
  if (Line* l = Find(line)) {
    l->lineError.store(code, std::memory_order_relaxed);
  }
}

void LineService::SetLineState(std::uint32_t line, std::uint32_t state) {
  if (Line* l = Find(line)) {
    l->lineState.store(static_cast<std::uint8_t>(state), std::memory_order_relaxed);
  }
}

std::uint8_t LineService::GetLineState(std::uint32_t line) {
  const Line* l = Find(line);
  return l != nullptr ? l->lineState.load(std::memory_order_relaxed) : 0;
}

std::int32_t LineService::ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                        std::uint32_t baud) {
  Line* l = Find(line);
  if (l == nullptr) {
    return service::kResultNoLine;
  }
  if (setting == 0 || baud == 0) {
    return service::kResultBadSetting;
  }
  {
    std::lock_guard lock(l->mutex);
    l->timeoutUs = setting * kUsPerSettingUnit;
    l->byteUs = kBitsPerByte * 1'000'000 / baud;
    l->open = true;
  }
  Notify({.kind = service::LineEvent::Kind::kConfigured,
          .line = line,
          .timeUs = clock_.NowUs(),
          .setting = setting,
          .baud = baud});
  return service::kResultOk;
}

void LineService::SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->check = handler;
  }
}

void LineService::SetLineInit(std::uint32_t line, LineInitHandler handler) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->init = handler;
  }
}

std::int32_t LineService::Exchange(std::uint32_t line, std::uint32_t /*port*/,
                                   std::span<const std::uint8_t> request,
                                   std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                   std::uint8_t mode) {
  Line* l = Find(line);
  if (l == nullptr) {
    return service::kResultNoLine;
  }
  if (expectedLen == protocol::kAckExpectedLen) {
    return Acknowledge(line, *l, request);
  }
  ReinitialiseIfDue(line, *l);
  return Command(line, *l, request, reply, expectedLen, mode);
}

void LineService::ReinitialiseIfDue(std::uint32_t lineNo, Line& line) {
  LineInitHandler handler;
  {
    std::lock_guard lock(line.mutex);
    if (!line.reinitPending) {
      return;
    }
    line.reinitPending = false;
    line.failureRun = 0;
    ++line.stats.reinitialisations;
    handler = line.init;
  }
  Notify({.kind = service::LineEvent::Kind::kReinit, .line = lineNo, .timeUs = clock_.NowUs()});
  if (handler.routine == nullptr) {
    return;
  }
  // The handler runs the driver's own exchanges on this line, so the lock
  // is not held here.
  try {
    handler(lineNo);
  } catch (const std::exception&) {
    // The failure shows in the handler's own exchanges; the caller's
    // exchange goes ahead.
  }
}

Transmission LineService::Transmit(std::uint32_t lineNo, Line& line,
                                   std::span<const std::uint8_t> bytes, std::uint8_t attempt,
                                   std::uint8_t expectedLen) {
  Notify({.kind = service::LineEvent::Kind::kSent,
          .line = lineNo,
          .timeUs = clock_.NowUs(),
          .bytes = bytes,
          .attempt = attempt,
          .expectedLen = expectedLen});
  clock_.Wait(bytes.size() * line.byteUs);
  return line.peer != nullptr ? line.peer->Receive(bytes) : Transmission{};
}

std::int32_t LineService::Acknowledge(std::uint32_t lineNo, Line& line,
                                      std::span<const std::uint8_t> request) {
  std::lock_guard lock(line.mutex);
  if (!line.open) {
    return service::kResultNotOpen;
  }
  line.stats.CountAcknowledgement(request);
  // The controller answers no acknowledgement; whatever came back would be
  // stray bytes, and the caller's buffer still holds the reply it decodes.
  Transmit(lineNo, line, request, 0, 0);
  return service::kResultOk;
}

std::int32_t LineService::Command(std::uint32_t lineNo, Line& line,
                                  std::span<const std::uint8_t> request,
                                  std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                  std::uint8_t mode) {
  std::lock_guard lock(line.mutex);
  if (!line.open) {
    return service::kResultNotOpen;
  }
  ++line.stats.exchanges;
  const std::uint32_t attempts = service::Attempts(mode);
  std::int32_t result = service::kResultNoReply;
  for (std::uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) {
      ++line.stats.retries;
    }
    line.lineState.store(0, std::memory_order_relaxed);
    line.lineError.store(0, std::memory_order_relaxed);
    const auto attemptNo = static_cast<std::uint8_t>(attempt);
    const Transmission answer = Transmit(lineNo, line, request, attemptNo, expectedLen);
    if (answer.Empty() || answer.delayUs >= line.timeoutUs) {
      clock_.Wait(line.timeoutUs);
      ++line.stats.timeouts;
      Notify({.kind = service::LineEvent::Kind::kTimeout,
              .line = lineNo,
              .timeUs = clock_.NowUs(),
              .attempt = attemptNo});
      result = service::kResultNoReply;
      continue;
    }
    clock_.Wait(answer.delayUs + answer.length * line.byteUs);
    // Never beyond the caller's buffer, nor beyond what a length byte holds.
    const std::size_t received = std::min<std::size_t>({answer.length, reply.size(), 255});
    std::copy_n(answer.bytes.begin(), received, reply.begin());
    const auto rxLen = static_cast<std::uint8_t>(received);
    bool accepted = true;
    if (line.check.routine != nullptr) {
      accepted = line.check(static_cast<std::uint8_t>(lineNo), reply, rxLen, expectedLen);
    } else {
      line.lineState.store(protocol::kLineAccepted, std::memory_order_relaxed);
    }
    Notify({.kind = service::LineEvent::Kind::kReceived,
            .line = lineNo,
            .timeUs = clock_.NowUs(),
            .bytes = reply.first(received),
            .attempt = attemptNo,
            .expectedLen = expectedLen,
            .lineState = line.lineState.load(std::memory_order_relaxed),
            .lineError = line.lineError.load(std::memory_order_relaxed)});
    if (accepted) {
      ++line.stats.accepted;
      line.failureRun = 0;
      return service::kResultOk;
    }
    if (service::IsRefusal(reply.first(rxLen))) {
      // The controller understood and said no: the line itself is sound.
      ++line.stats.refused;
      line.failureRun = 0;
      return service::kResultRefused;
    }
    line.stats.CountRejection(line.lineError.load(std::memory_order_relaxed));
    result = service::kResultOk;  // judged: the line state says rejected
  }
  if (++line.failureRun >= service::kFailuresBeforeReinit) {
    line.reinitPending = true;
  }
  return result;
}

}  // namespace tarvenix::sim
