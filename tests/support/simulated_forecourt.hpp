// A forecourt service on simulated dispensers and simulated time, stepped
// by the test itself: what the forecourt tests share.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <tarvenix/lines/clock.hpp>

#include "forecourt/forecourt.hpp"
#include "forecourt/simulated_lines.hpp"
#include "sim/simulated_line.hpp"

namespace tarvenix::testing {

// A directory of the running test's own, made empty.
inline std::filesystem::path FreshTestDirectory(std::string_view prefix) {
  const auto dir = std::filesystem::temp_directory_path() /
                   (std::string(prefix) + "-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

class SimulatedForecourt {
 protected:
  // 2026-11-29T08:53:20Z
  static constexpr std::int64_t kEpochMs = 1'796'000'000'000;

  // The service on `config` over the test's dispensers (peer_ drives the
  // first simulated line); the one before is stopped first.
  forecourt::Forecourt& Make(const forecourt::Config& config) {
    forecourt_.reset();
    forecourt_ = std::make_unique<forecourt::Forecourt>(
        config, log_, &clock_,
        [this] { return kEpochMs + static_cast<std::int64_t>(clock_.NowUs() / 1000); },
        simulated_.Factory());
    return *forecourt_;
  }
  // Steps every line until `done`, or fails the test.
  template <typename Done>
  void RunUntil(Done done) {
    for (int i = 0; i < maxSteps_; ++i) {
      if (done()) {
        return;
      }
      forecourt_->Step();
    }
    FAIL() << "condition not reached in " << maxSteps_ << " steps";
  }
  void RunUntilOnline() {
    RunUntil(
        [&] { return std::ranges::all_of(forecourt_->Pumps(), [](auto& p) { return p.online; }); });
  }

  // How many steps RunUntil takes before it fails the test.
  int maxSteps_ = 20'000;
  std::FILE* sink_ = std::fopen("/dev/null", "w");
  forecourt::Log log_{sink_};
  lines::ManualClock clock_;
  sim::SimulatedLine peer_{clock_};
  forecourt::SimulatedLines simulated_{{&peer_}};
  std::unique_ptr<forecourt::Forecourt> forecourt_;
};

}  // namespace tarvenix::testing
