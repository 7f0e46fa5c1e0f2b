// The service's event stream: every change of a pump's state, live values,
// every transaction change and every alert, numbered by a sequence that
// only rises, across restarts too. The last `capacity` events stay in memory
// for readers that stream them and resume from a sequence number.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarvenix::forecourt {

enum class EventKind : std::uint8_t { kPump, kLive, kTransaction, kAlert, kLine, kFallback };
std::string_view Name(EventKind kind);

struct Event {
  std::uint64_t seq = 0;
  std::int64_t timeMs = 0;  // Unix time
  // When it was published on this machine: what the delay of its delivery
  // to a stream client is measured from.
  std::chrono::steady_clock::time_point published{};
  EventKind kind = EventKind::kPump;
  std::string data;  // a JSON object
};

class EventRing {
 public:
  static constexpr std::size_t kDefaultCapacity = 10'000;
  // Called with a number the sequence must not pass without calling it
  // again; it persists the number so that a restart starts above it.
  using Reserve = std::function<void(std::uint64_t upTo)>;

  explicit EventRing(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  // Continues the sequence after `last` (0 for a new journal); `reserve`
  // is called now and whenever the sequence reaches the reserved number.
  void StartAfter(std::uint64_t last, Reserve reserve);

  // Assigns the next sequence number and keeps the event; wakes readers.
  std::uint64_t Publish(EventKind kind, std::string data, std::int64_t timeMs);

  struct Batch {
    std::vector<Event> events;
    bool gap = false;  // events after `after` are no longer kept: resync
  };
  // The kept events after `after`, at most `max`.
  Batch Since(std::uint64_t after, std::size_t max = SIZE_MAX) const;
  // Waits until an event after `after` exists or `timeout` passes.
  Batch WaitSince(std::uint64_t after, std::chrono::milliseconds timeout,
                  std::size_t max = SIZE_MAX) const;
  std::uint64_t LastSeq() const;

 private:
  Batch SinceLocked(std::uint64_t after, std::size_t max) const;

  static constexpr std::uint64_t kReserveStep = 1'000'000;

  std::size_t capacity_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<Event> events_;
  std::uint64_t last_ = 0;
  std::uint64_t reserved_ = 0;
  Reserve reserve_;
};

}  // namespace tarvenix::forecourt
