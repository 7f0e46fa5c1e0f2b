// Follows the wire as the line service puts bytes on it. ACK and NAK carry
// no address: the controller credits one to the dispenser that replied last,
// so an acknowledgement reaches the dispenser whose reply it answers only
// when the last frame on the line was its own thread's.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <tarvenix/lines/instrumented_link.hpp>
#include <thread>

namespace tarvenix::sim::testing {

class ConversationWatch final : public lines::LineMonitor {
 public:
  // Events come with their line's lock held, so each line's entry has one
  // writer at a time.
  void OnLineEvent(const lines::LineEvent& e) override {
    if (e.kind != lines::LineEvent::Kind::kSent) {
      return;
    }
    std::thread::id& lastFrameBy = lastFrameBy_[e.line % lastFrameBy_.size()];
    if (e.bytes.size() != 1) {
      lastFrameBy = std::this_thread::get_id();
      return;
    }
    ++acknowledgements_;
    if (lastFrameBy != std::this_thread::get_id()) {
      ++misdirected_;
    }
  }

  int Acknowledgements() const { return acknowledgements_.load(); }
  // Acknowledgements that went out after another thread's frame.
  int Misdirected() const { return misdirected_.load(); }

 private:
  std::array<std::thread::id, 33> lastFrameBy_{};  // by line 1..32
  std::atomic<int> acknowledgements_{0};
  std::atomic<int> misdirected_{0};
};

}  // namespace tarvenix::sim::testing
