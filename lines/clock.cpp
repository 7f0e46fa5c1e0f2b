#include <tarvenix/lines/clock.hpp>
#include <thread>

namespace tarvenix::lines {

std::uint64_t WallClock::NowUs() const {
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

void WallClock::Wait(std::uint64_t us) {
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}

namespace {
void WaitOnClock(void* context, std::uint32_t milliseconds) {
  static_cast<Clock*>(context)->Wait(std::uint64_t{milliseconds} * 1000);
}
}  // namespace

Sleeper SleeperOn(Clock& clock) {
  return {&WaitOnClock, &clock};
}

}  // namespace tarvenix::lines
