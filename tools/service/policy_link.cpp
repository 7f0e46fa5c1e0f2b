#include "service/policy_link.hpp"

#include <algorithm>
#include <exception>

namespace tarvenix::service {

void PolicyLink::Notify(const LineEvent& event) const {
  if (monitor_ != nullptr) {
    monitor_->OnLineEvent(event);
  }
}

LinkStats PolicyLink::Stats(std::uint32_t line) const {
  const Line* l = Find(line);
  if (l == nullptr) {
    return {};
  }
  std::lock_guard lock(l->mutex);
  return l->stats;
}

std::uint32_t PolicyLink::LineError(std::uint32_t line) const {
  const Line* l = Find(line);
  return l != nullptr ? l->lineError.load(std::memory_order_relaxed) : 0;
}

std::int32_t PolicyLink::FailResult(std::uint32_t /*line*/) {
  return kResultFault;
}

void PolicyLink::SetLineError(std::uint32_t line, std::uint32_t code) {
  if (Line* l = Find(line)) {
    l->lineError.store(code, std::memory_order_relaxed);
  }
}

void PolicyLink::SetLineState(std::uint32_t line, std::uint32_t state) {
  if (Line* l = Find(line)) {
    l->lineState.store(static_cast<std::uint8_t>(state), std::memory_order_relaxed);
  }
}

std::uint8_t PolicyLink::GetLineState(std::uint32_t line) {
  const Line* l = Find(line);
  return l != nullptr ? l->lineState.load(std::memory_order_relaxed) : 0;
}

void PolicyLink::SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->check = handler;
  }
}

void PolicyLink::SetLineInit(std::uint32_t line, LineInitHandler handler) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->init = handler;
  }
}

std::int32_t PolicyLink::Exchange(std::uint32_t line, std::uint32_t /*port*/,
                                  std::span<const std::uint8_t> request,
                                  std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                  std::uint8_t mode) {
  Line* l = Find(line);
  if (l == nullptr) {
    return kResultNoLine;
  }
  if (expectedLen == protocol::kAckExpectedLen) {
    return Acknowledge(line, *l, request);
  }
  ReinitialiseIfDue(line, *l);
  return Command(line, *l, request, reply, expectedLen, mode);
}

void PolicyLink::ReinitialiseIfDue(std::uint32_t lineNo, Line& line) {
  LineInitHandler handler;
  {
    std::lock_guard lock(line.mutex);
    if (!line.reinitPending || !PrepareReinit(lineNo)) {
      return;
    }
    line.reinitPending = false;
    line.failureRun = 0;
    ++line.stats.reinitialisations;
    handler = line.init;
  }
  Notify({.kind = LineEvent::Kind::kReinit, .line = lineNo, .timeUs = NowUs()});
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

std::int32_t PolicyLink::Fail(std::uint32_t lineNo, Line& line) {
  OnFailure(lineNo);
  line.reinitPending = true;
  line.failureRun = 0;
  return kResultPortFailed;
}

std::int32_t PolicyLink::Acknowledge(std::uint32_t lineNo, Line& line,
                                     std::span<const std::uint8_t> request) {
  std::lock_guard lock(line.mutex);
  if (const std::int32_t ready = Ready(lineNo); ready != kResultOk) {
    return ready;
  }
  line.stats.CountAcknowledgement(request);
  Notify({.kind = LineEvent::Kind::kSent, .line = lineNo, .timeUs = NowUs(), .bytes = request});
  // The controller answers no acknowledgement, and the caller's buffer still
  // holds the reply it is about to decode: nothing is received.
  return Send(lineNo, request) ? kResultOk : Fail(lineNo, line);
}

std::int32_t PolicyLink::Command(std::uint32_t lineNo, Line& line,
                                 std::span<const std::uint8_t> request,
                                 std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                 std::uint8_t mode) {
  std::lock_guard lock(line.mutex);
  if (const std::int32_t ready = Ready(lineNo); ready != kResultOk) {
    return ready == kResultPortFailed ? Fail(lineNo, line) : ready;
  }
  ++line.stats.exchanges;
  std::int32_t result = kResultNoReply;
  for (std::uint32_t attempt = 0; attempt < Attempts(mode); ++attempt) {
    if (attempt > 0) {
      ++line.stats.retries;
    }
    const auto attemptNo = static_cast<std::uint8_t>(attempt);
    line.lineState.store(0, std::memory_order_relaxed);
    line.lineError.store(0, std::memory_order_relaxed);
    Notify({.kind = LineEvent::Kind::kSent,
            .line = lineNo,
            .timeUs = NowUs(),
            .bytes = request,
            .attempt = attemptNo,
            .expectedLen = expectedLen});
    const Collected collected = Attempt(lineNo, request, reply, expectedLen);
    if (collected.failed) {
      return Fail(lineNo, line);
    }
    if (collected.received == 0) {
      ++line.stats.timeouts;
      Notify({.kind = LineEvent::Kind::kTimeout,
              .line = lineNo,
              .timeUs = NowUs(),
              .attempt = attemptNo});
      result = kResultNoReply;
      continue;
    }
    // Never beyond the caller's buffer, nor beyond what a length byte holds.
    const auto rxLen =
        static_cast<std::uint8_t>(std::min<std::size_t>({collected.received, reply.size(), 255}));
    bool accepted = true;
    if (line.check.routine != nullptr) {
      accepted = line.check(static_cast<std::uint8_t>(lineNo), reply, rxLen, expectedLen);
    } else {
      line.lineState.store(protocol::kLineAccepted, std::memory_order_relaxed);
    }
    Notify({.kind = LineEvent::Kind::kReceived,
            .line = lineNo,
            .timeUs = NowUs(),
            .bytes = reply.first(rxLen),
            .attempt = attemptNo,
            .expectedLen = expectedLen,
            .lineState = line.lineState.load(std::memory_order_relaxed),
            .lineError = line.lineError.load(std::memory_order_relaxed)});
    if (accepted) {
      ++line.stats.accepted;
      line.failureRun = 0;
      return kResultOk;
    }
    if (IsRefusal(reply.first(rxLen))) {
      // The controller understood and said no: the line itself is sound.
      ++line.stats.refused;
      line.failureRun = 0;
      return kResultRefused;
    }
    line.stats.CountRejection(line.lineError.load(std::memory_order_relaxed));
    result = kResultOk;  // judged: the line state says rejected
  }
  if (++line.failureRun >= kFailuresBeforeReinit) {
    line.reinitPending = true;
  }
  return result;
}

}  // namespace tarvenix::service
