// Fallback: what the forecourt does while no point of sale is heard.
//
// The heartbeat is any authenticated request (any request with no tokens
// configured) and, for as long as it stays open, an event stream of a
// control token (any stream with no tokens). After `fallback_after_s`
// without one, fallback begins: pumps set to "auto" authorise a lifted
// nozzle themselves for their fallback preset, as client "fallback", and
// those sales are marked fallback and stay payable until a point of sale
// locks and clears them. Pumps set to "attended" do nothing by themselves:
// a person authorises from the page (whose request, as any, ends
// fallback). The first request after that ends it. Entering and leaving
// are each an event ("fallback"), an alert and an audit record.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "forecourt/events.hpp"
#include "forecourt/journal.hpp"

namespace tarvenix::forecourt {

class FallbackWatch {
 public:
  // `enabled`: some pump is not "off"; else fallback never begins.
  FallbackWatch(std::uint32_t afterS, bool enabled, Journal& journal, EventRing& events);

  // A request of a client: ends fallback.
  void Beat();
  // A heartbeat stream opened or closed.
  void StreamOpened();
  void StreamClosed();
  // Whether fallback is on; begins it once the heartbeat has been silent
  // long enough, and records an end a request brought. The line workers
  // ask at each step.
  bool Active();

 private:
  // Under `mutex_`.
  void Record(bool entering, std::int64_t silentMs);

  const std::int64_t afterMs_;
  const bool enabled_;
  Journal& journal_;
  EventRing& events_;
  std::mutex mutex_;
  std::int64_t lastBeatMs_;
  int streams_ = 0;
  bool active_ = false;
  // Fallback ended by a request after this silence, not yet recorded.
  std::optional<std::int64_t> leftAfterMs_;
};

}  // namespace tarvenix::forecourt
