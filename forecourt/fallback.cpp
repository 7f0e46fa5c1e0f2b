#include "forecourt/fallback.hpp"

#include <nlohmann/json.hpp>

namespace tarvenix::forecourt {

FallbackWatch::FallbackWatch(std::uint32_t afterS, bool enabled, Journal& journal,
                             EventRing& events)
    : afterMs_(static_cast<std::int64_t>(afterS) * 1000),
      enabled_(enabled),
      journal_(journal),
      events_(events),
      lastBeatMs_(journal.NowMsValue()) {}  // the start counts as one

void FallbackWatch::Beat() {
  std::lock_guard lock(mutex_);
  const std::int64_t now = journal_.NowMsValue();
  const std::int64_t silent = now - lastBeatMs_;
  lastBeatMs_ = now;
  if (active_) {
    // Recorded by the next line step: the caller may be an I/O thread,
    // which writes nothing to the disk.
    active_ = false;
    leftAfterMs_ = silent;
  }
}

void FallbackWatch::StreamOpened() {
  std::lock_guard lock(mutex_);
  ++streams_;
}

void FallbackWatch::StreamClosed() {
  std::lock_guard lock(mutex_);
  --streams_;
  // The silence is counted from the stream's end.
  lastBeatMs_ = journal_.NowMsValue();
}

bool FallbackWatch::Active() {
  if (!enabled_) {
    return false;
  }
  std::lock_guard lock(mutex_);
  if (leftAfterMs_) {
    Record(false, *leftAfterMs_);
    leftAfterMs_.reset();
  }
  if (active_ || streams_ > 0) {
    return active_;
  }
  const std::int64_t silent = journal_.NowMsValue() - lastBeatMs_;
  if (silent >= afterMs_) {
    active_ = true;
    Record(true, silent);
  }
  return active_;
}

void FallbackWatch::Record(bool entering, std::int64_t silentMs) {
  const nlohmann::json details = {{"active", entering}, {"silent_ms", silentMs}};
  const std::string message =
      entering ? "no point of sale heard for " + std::to_string(silentMs / 1000) +
                     " s: fallback begins (pumps set to auto authorise themselves)"
               : "a point of sale is back after " + std::to_string(silentMs / 1000) +
                     " s: fallback ends";
  events_.Publish(EventKind::kFallback, details.dump(), journal_.NowMsValue());
  // Both are kept whatever the journal does: the alert is held while it
  // takes no writes, and the audit record is the journal's to refuse.
  journal_.Raise({.kind = entering ? "fallback-entered" : "fallback-left",
                  .pumpId = "",
                  .message = message,
                  .details = details.dump()});
  AuditRecord record{.actor = "fallback",
                     .kind = "fallback",
                     .method = "FALLBACK",
                     .path = entering ? "enter" : "leave",
                     .body = details};
  record.outcome = {{"result", entering ? "entered" : "left"}};
  try {
    journal_.Audit(record);
  } catch (const DatabaseError&) {
    // The alert tells it; a failing journal is in the health reasons.
  }
}

}  // namespace tarvenix::forecourt
