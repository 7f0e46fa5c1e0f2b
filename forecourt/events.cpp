#include "forecourt/events.hpp"

#include <exception>

namespace tarvenix::forecourt {

std::string_view Name(EventKind kind) {
  switch (kind) {
    case EventKind::kPump:
      return "pump";
    case EventKind::kLive:
      return "live";
    case EventKind::kTransaction:
      return "transaction";
    case EventKind::kAlert:
      return "alert";
    case EventKind::kLine:
      return "line";
    case EventKind::kFallback:
      return "fallback";
  }
  return "unknown";
}

void EventRing::StartAfter(std::uint64_t last, Reserve reserve) {
  std::lock_guard lock(mutex_);
  last_ = last;
  reserve_ = std::move(reserve);
  reserved_ = last_ + kReserveStep;
  if (reserve_) {
    reserve_(reserved_);
  }
}

std::uint64_t EventRing::Publish(EventKind kind, std::string data, std::int64_t timeMs) {
  std::uint64_t seq = 0;
  {
    std::lock_guard lock(mutex_);
    seq = ++last_;
    if (reserve_ && seq >= reserved_) {
      // A reservation that fails (the journal takes no writes) is tried
      // again at the next event; the event itself is not lost.
      try {
        reserve_(seq + kReserveStep);
        reserved_ = seq + kReserveStep;
      } catch (const std::exception&) {
      }
    }
    events_.push_back({.seq = seq,
                       .timeMs = timeMs,
                       .published = std::chrono::steady_clock::now(),
                       .kind = kind,
                       .data = std::move(data)});
    if (events_.size() > capacity_) {
      events_.pop_front();
    }
  }
  changed_.notify_all();
  return seq;
}

EventRing::Batch EventRing::SinceLocked(std::uint64_t after, std::size_t max) const {
  Batch batch;
  if (events_.empty()) {
    return batch;
  }
  const std::uint64_t first = events_.front().seq;
  batch.gap = after + 1 < first;
  const std::size_t skip = after >= first ? static_cast<std::size_t>(after - first + 1) : 0;
  for (std::size_t i = skip; i < events_.size() && batch.events.size() < max; ++i) {
    batch.events.push_back(events_[i]);
  }
  return batch;
}

EventRing::Batch EventRing::Since(std::uint64_t after, std::size_t max) const {
  std::lock_guard lock(mutex_);
  return SinceLocked(after, max);
}

EventRing::Batch EventRing::WaitSince(std::uint64_t after, std::chrono::milliseconds timeout,
                                      std::size_t max) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return last_ > after; });
  return SinceLocked(after, max);
}

std::uint64_t EventRing::LastSeq() const {
  std::lock_guard lock(mutex_);
  return last_;
}

}  // namespace tarvenix::forecourt
