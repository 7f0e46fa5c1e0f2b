// A TVM30 on the recording fake line service, with pauses recorded instead
// of slept.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <tarvenix/tvm30.hpp>
#include <vector>

#include "driver/state.hpp"
#include "support/fake_com_link.hpp"

namespace tarvenix::testing {

class RecordingSleeper {
 public:
  Sleeper AsSleeper() { return {&Record, this}; }
  std::vector<std::uint32_t> Pauses() const {
    std::lock_guard lock(mutex_);
    return pauses_;
  }

 private:
  static void Record(void* context, std::uint32_t milliseconds) {
    auto* self = static_cast<RecordingSleeper*>(context);
    std::lock_guard lock(self->mutex_);
    self->pauses_.push_back(milliseconds);
  }
  mutable std::mutex mutex_;
  std::vector<std::uint32_t> pauses_;
};

// Reply bodies (code and fields) that tests use again and again.
inline const Bytes kAckByte{0x06};
inline Bytes StateReply(char stateDigit) {
  return MakeReply(std::string("S000") + stateDigit + "000000");
}

struct DriverTest : ::testing::Test {
  const TVM30::State& State() const { return driver.Inspect(); }
  const decode::Dispenser& At(int line, int addr) const {
    return State().dispensers.At(line, addr);
  }
  // Tests set up dispenser states directly rather than through replies.
  decode::Dispenser& Edit(int line, int addr) {
    return const_cast<decode::Dispenser&>(At(line, addr));
  }
  // The kinds of what was sent, in order: command texts and "ACK"/"NAK".
  std::vector<std::string> Traffic() const {
    std::vector<std::string> out;
    for (const Bytes& sent : link.Sent()) {
      if (sent == Bytes{0x06}) {
        out.emplace_back("ACK");
      } else if (sent == Bytes{0x15}) {
        out.emplace_back("NAK");
      } else {
        out.emplace_back(sent.begin() + 5, sent.end() - 2);
      }
    }
    return out;
  }

  FakeComLink link;
  RecordingSleeper sleeper;
  TVM30 driver{link, 0x1234, sleeper.AsSleeper()};
};

}  // namespace tarvenix::testing
