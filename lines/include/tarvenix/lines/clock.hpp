// Time for the line services and their hosts.
//
// Deliveries flow, bytes travel and replies time out in the time of a Clock.
// Tests and the command's --sim-time mode use a ManualClock, which moves only
// when someone waits on it, so nothing ever depends on the machine's speed;
// the demo uses the WallClock and really waits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <tarvenix/tvm30.hpp>

namespace tarvenix::lines {

class Clock {
 public:
  virtual ~Clock() = default;
  // Microseconds since the clock was made: a byte at 4800 baud takes ~2083.
  virtual std::uint64_t NowUs() const = 0;
  // Lets `us` microseconds pass.
  virtual void Wait(std::uint64_t us) = 0;
};

// Simulated time: Wait advances it at once. Safe to share between threads.
class ManualClock final : public Clock {
 public:
  std::uint64_t NowUs() const override { return now_.load(std::memory_order_relaxed); }
  void Wait(std::uint64_t us) override { Advance(us); }
  void Advance(std::uint64_t us) { now_.fetch_add(us, std::memory_order_relaxed); }
  void AdvanceMs(std::uint64_t ms) { Advance(ms * 1000); }

 private:
  std::atomic<std::uint64_t> now_{0};
};

// Real time, for a demonstration a person watches.
class WallClock final : public Clock {
 public:
  std::uint64_t NowUs() const override;
  void Wait(std::uint64_t us) override;

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The driver's pauses, spent on `clock`.
Sleeper SleeperOn(Clock& clock);

}  // namespace tarvenix::lines
