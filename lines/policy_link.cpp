#include <algorithm>
#include <chrono>
#include <exception>
#include <tarvenix/lines/policy_link.hpp>

namespace tarvenix::lines {
namespace {

// A simulated hold clock moves only when someone moves it: a waiting thread
// looks at it again this often.
constexpr std::chrono::milliseconds kHoldRecheck{10};

// Start and stop expect one byte, the controller's ACK or NAK, which the
// driver does not acknowledge; longer replies it does.
constexpr std::uint8_t kUnacknowledgedLen = 1;

// The verdicts of the calling thread's last command exchange on each line of
// one service. A thread keeps them for the service it used last, which is
// the one the driver asks right after its exchange.
struct ThreadVerdicts {
  std::uint64_t service = 0;  // id of the service; 0 for none
  std::uint32_t known = 0;    // bit line-1: the thread has exchanged on the line
  std::array<std::uint8_t, 32> states{};
};
thread_local ThreadVerdicts tVerdicts;

// Where a request frame carries its sequence digit, and where a dispenser
// that echoes it puts it in a reply frame.
constexpr std::size_t kRequestSeqIndex = 4;
constexpr std::size_t kReplyEchoIndex = 1;

// A line that never falls quiet (a chattering device) is waited for this
// many quiet times at most; then the frame goes out and the check judges
// what comes back.
constexpr std::uint64_t kSettleLimit = 4;

// Stale replies dropped within one attempt before it counts as unanswered.
constexpr std::uint32_t kStaleRepliesPerAttempt = 3;

// A reply frame whose echo of the sequence digit is not the request's.
bool EchoDiffers(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply) {
  return request.size() > kRequestSeqIndex && reply.size() > kReplyEchoIndex &&
         reply[kReplyEchoIndex] != request[kRequestSeqIndex];
}

std::atomic<std::uint64_t> gServiceIds{0};

}  // namespace

PolicyLink::PolicyLink() : id_(gServiceIds.fetch_add(1, std::memory_order_relaxed) + 1) {}

std::uint64_t PolicyLink::HoldClockUs() const {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void PolicyLink::RecordVerdict(std::uint32_t lineNo, std::uint8_t state) const {
  ThreadVerdicts& verdicts = tVerdicts;
  if (verdicts.service != id_) {
    verdicts = {.service = id_};
  }
  verdicts.known |= 1U << (lineNo - 1);
  verdicts.states[lineNo - 1] = state;
}

void PolicyLink::AwaitTurn(Line& line, std::unique_lock<std::mutex>& lock) {
  const std::thread::id self = std::this_thread::get_id();
  while (line.holder != std::thread::id{} && line.holder != self) {
    const std::uint64_t now = HoldClockUs();
    if (now >= line.holdEndUs) {
      line.holder = {};
      ++line.stats.expiredHolds;
      break;
    }
    line.holdEnded.wait_for(
        lock, std::min<std::chrono::microseconds>(std::chrono::microseconds(line.holdEndUs - now),
                                                  kHoldRecheck));
  }
}

void PolicyLink::EndOwnHold(Line& line) {
  if (line.holder == std::this_thread::get_id()) {
    line.holder = {};
    line.holdEnded.notify_all();
  }
}

std::unique_lock<std::mutex> PolicyLink::LineTurn(std::uint32_t line) {
  Line& l = lines_[line - 1];
  std::unique_lock lock(l.mutex);
  AwaitTurn(l, lock);
  return lock;
}

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
  std::lock_guard lock(l->publishedMutex);
  return l->publishedStats;
}

LineHealth PolicyLink::Health(std::uint32_t line) const {
  const Line* l = Find(line);
  if (l == nullptr) {
    return {};
  }
  std::lock_guard lock(l->publishedMutex);
  return l->publishedHealth;
}

void PolicyLink::Publish(std::uint32_t lineNo, const Line& line) const {
  const LineHealth health{.ready = line.ready,
                          .answered = line.answered,
                          .lastResult = line.lastResult,
                          .osError = OsError(lineNo)};
  std::lock_guard lock(line.publishedMutex);
  line.publishedStats = line.stats;
  line.publishedHealth = health;
}

void PolicyLink::MatchEcho(std::uint32_t line, bool on) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->matchEcho = on;
  }
}

std::uint64_t PolicyLink::QuietUs(std::uint32_t line) const {
  // Twice the timeout: a controller that answered one request late may be
  // as late with the repetition that followed, which it starts on only once
  // the first answer is out.
  const Timing timing = LineTiming(line);
  return kLongestReply * timing.byteUs + 2 * timing.replyTimeoutUs;
}

void PolicyLink::Opened(std::uint32_t line) {
  Line& l = lines_[line - 1];
  l.ready = true;
  l.answered = false;
  Publish(line, l);
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
  if (l == nullptr) {
    return 0;
  }
  const ThreadVerdicts& verdicts = tVerdicts;
  if (verdicts.service == id_ && (verdicts.known & (1U << (line - 1))) != 0) {
    return verdicts.states[line - 1];
  }
  return l->lineState.load(std::memory_order_relaxed);
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
  BeginCommand(line, *l);
  return Command(line, *l, request, reply, expectedLen, mode);
}

void PolicyLink::BeginCommand(std::uint32_t lineNo, Line& line) {
  LineInitHandler handler;
  {
    std::unique_lock lock(line.mutex);
    EndOwnHold(line);
    if (line.reinitPending) {
      // The transport is prepared only on a line no one holds.
      AwaitTurn(line, lock);
    }
    if (!line.reinitPending || !PrepareReinit(lineNo)) {
      return;
    }
    line.reinitPending = false;
    line.failureRun = 0;
    ++line.stats.reinitialisations;
    Publish(lineNo, line);
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
  line.ready = false;
  line.answered = false;
  line.unsettled = false;
  line.owed = 0;
  line.reinitPending = true;
  line.failureRun = 0;
  return kResultPortFailed;
}

std::int32_t PolicyLink::Acknowledge(std::uint32_t lineNo, Line& line,
                                     std::span<const std::uint8_t> request) {
  std::unique_lock lock(line.mutex);
  AwaitTurn(line, lock);
  std::int32_t result = Ready(lineNo);
  if (result == kResultOk) {
    line.stats.CountAcknowledgement(request);
    Notify({.kind = LineEvent::Kind::kSent, .line = lineNo, .timeUs = NowUs(), .bytes = request});
    // The controller answers no acknowledgement, and the caller's buffer
    // still holds the reply it is about to decode: nothing is received.
    result = Put(lineNo, request) ? kResultOk : Fail(lineNo, line);
  }
  EndOwnHold(line);
  Publish(lineNo, line);
  return result;
}

std::int32_t PolicyLink::Command(std::uint32_t lineNo, Line& line,
                                 std::span<const std::uint8_t> request,
                                 std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                 std::uint8_t mode) {
  std::unique_lock lock(line.mutex);
  AwaitTurn(line, lock);
  const std::int32_t result = Converse(lineNo, line, request, reply, expectedLen, mode);
  line.lastResult = result;
  RecordVerdict(lineNo, line.lineState.load(std::memory_order_relaxed));
  if (result == kResultOk && expectedLen > kUnacknowledgedLen) {
    line.holder = std::this_thread::get_id();
    line.holdEndUs = HoldClockUs() + kHoldLimitUs;
  }
  Publish(lineNo, line);
  return result;
}

bool PolicyLink::DropStale(std::uint32_t lineNo, Line& line, std::size_t bytes) {
  ++line.stats.stale;
  line.stats.staleBytes += bytes;
  Notify(
      {.kind = LineEvent::Kind::kStale,
       .line = lineNo,
       .timeUs = NowUs(),
       .bytes = std::span<const std::uint8_t>(line.stale).first(std::min(bytes, line.stale.size())),
       .dropped = static_cast<std::uint32_t>(std::min<std::size_t>(bytes, UINT32_MAX))});
  return line.owed > 0 && --line.owed == 0;
}

bool PolicyLink::Settle(std::uint32_t lineNo, Line& line, bool wait) {
  const Collected waiting = Drain(lineNo, line.stale);
  if (waiting.failed) {
    return false;
  }
  if (waiting.received > 0) {
    if (DropStale(lineNo, line, waiting.received)) {
      line.unsettled = false;
    } else {
      // Something is talking that we owe nothing to: more may follow.
      line.unsettled = true;
      line.quietFromUs = NowUs();
    }
  }
  if (!line.unsettled || !wait) {
    return true;
  }
  const std::uint64_t quietUs = QuietUs(lineNo);
  const std::uint64_t startUs = NowUs();
  const std::uint64_t giveUpUs = startUs + kSettleLimit * quietUs;
  for (;;) {
    const std::uint64_t untilUs = std::min(line.quietFromUs + quietUs, giveUpUs);
    if (NowUs() >= untilUs) {
      break;
    }
    const Collected heard = Listen(lineNo, untilUs, line.stale);
    if (heard.failed) {
      return false;
    }
    if (heard.received == 0 || DropStale(lineNo, line, heard.received)) {
      break;  // quiet, or every request given up on has had its answer
    }
    line.quietFromUs = NowUs();
  }
  line.unsettled = false;
  line.owed = 0;
  ++line.stats.settles;
  line.stats.settleUs += NowUs() - startUs;
  return true;
}

PolicyLink::Collected PolicyLink::Attempt(std::uint32_t lineNo, Line& line,
                                          std::span<const std::uint8_t> request,
                                          std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                          bool repeat) {
  // A repetition goes out at once: a late answer to the same frame is as
  // good as its own, which the quiet wait after the exchange then drops.
  if (!Settle(lineNo, line, !repeat) || !Put(lineNo, request)) {
    return {.failed = true};
  }
  for (std::uint32_t dropped = 0;; ++dropped) {
    const Collected collected = Collect(lineNo, reply, expectedLen);
    if (!line.matchEcho || collected.failed || collected.received == 0 ||
        !EchoDiffers(request, reply.first(collected.received))) {
      return collected;
    }
    // The answer to an earlier request: its own may still come.
    const std::size_t kept = std::min(collected.received, line.stale.size());
    std::copy_n(reply.begin(), kept, line.stale.begin());
    if (!DropStale(lineNo, line, collected.received)) {
      line.unsettled = true;
      line.quietFromUs = NowUs();
    }
    if (dropped + 1 >= kStaleRepliesPerAttempt) {
      return {};
    }
  }
}

std::int32_t PolicyLink::Converse(std::uint32_t lineNo, Line& line,
                                  std::span<const std::uint8_t> request,
                                  std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                  std::uint8_t mode) {
  ++line.stats.exchanges;
  if (const std::int32_t ready = Ready(lineNo); ready != kResultOk) {
    ++line.stats.notReady;
    line.ready = false;
    return ready == kResultPortFailed ? Fail(lineNo, line) : ready;
  }
  line.ready = true;
  std::int32_t result = kResultNoReply;
  bool answered = false;
  std::uint32_t attempt = 0;
  for (; attempt < Attempts(mode) && !answered; ++attempt) {
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
    const Collected collected = Attempt(lineNo, line, request, reply, expectedLen, attempt > 0);
    if (collected.failed) {
      return Fail(lineNo, line);
    }
    if (collected.received == 0) {
      ++line.stats.timeouts;
      Notify({.kind = LineEvent::Kind::kTimeout,
              .line = lineNo,
              .timeUs = NowUs(),
              .attempt = attemptNo});
      // Its answer may yet come, late.
      line.unsettled = true;
      ++line.owed;
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
      line.answered = true;
      result = kResultOk;
      answered = true;
    } else if (IsRefusal(reply.first(rxLen))) {
      // The controller understood and said no: the line itself is sound.
      ++line.stats.refused;
      line.failureRun = 0;
      line.answered = true;
      result = kResultRefused;
      answered = true;
    } else {
      line.stats.CountRejection(line.lineError.load(std::memory_order_relaxed));
      result = kResultOk;  // judged: the line state says rejected
    }
  }
  if (attempt > 1) {
    // The answers to the earlier tries may still be on their way.
    line.unsettled = true;
  }
  if (line.unsettled) {
    line.quietFromUs = NowUs();
  }
  if (!answered && ++line.failureRun >= kFailuresBeforeReinit) {
    line.reinitPending = true;
  }
  return result;
}

}  // namespace tarvenix::lines
