// A line service that answers every command at once with a canned reply
// chosen by the command letter, has the installed reply check judge it, and
// takes acknowledgements without a word: a quiet dispenser on every line.
// The replies are made before use, so an exchange allocates nothing, and
// each line keeps its state apart, so threads on different lines share
// nothing. Set the answers before threads start.
//
// Header-only and free of GoogleTest, for tests, benchmarks and fuzz
// targets alike.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "support/no_pause.hpp"
#include "tarvenix/com_link.hpp"
#include "tarvenix/protocol.hpp"

namespace tarvenix::testing {

class CannedComLink : public TComLink {
 public:
  static constexpr std::size_t kMaxReply = 64;  // beyond the largest command buffer (51)

  // Replies the driver reads as: S state '1' (ready) to P, S and anything
  // unnamed; D 12.34 / 561.53 to C; T counters 1 and 2 to V; p 42 to r; A
  // to w; a single ACK to E and T.
  CannedComLink() {
    Answer(0, Frame("S0001000000"));
    Answer('C', Frame("D0432103516500"));
    Answer('V', Frame("T00000000010000000020"));
    Answer('r', Frame("p00042"));
    Answer('w', Frame("A0"));
    Answer('E', std::array<std::uint8_t, 1>{protocol::kAck});
    Answer('T', std::array<std::uint8_t, 1>{protocol::kAck});
  }

  // Answers commands with `letter` (0: every letter not named otherwise) by
  // `reply`, reported to the check as `rxLen` bytes (its size if unset).
  // Only the first kMaxReply bytes are kept.
  void Answer(std::uint8_t letter, std::span<const std::uint8_t> reply,
              std::optional<std::uint8_t> rxLen = std::nullopt) {
    std::size_t slot = 0;
    if (letter != 0) {
      slot = slotOf_[letter & 0x7F] != 0 ? slotOf_[letter & 0x7F] : ++slotsUsed_;
      slotOf_[letter & 0x7F] = static_cast<std::uint8_t>(slot);
    }
    Canned& canned = canned_.at(slot);
    canned.size = static_cast<std::uint8_t>(std::min(reply.size(), kMaxReply));
    std::copy_n(reply.begin(), canned.size, canned.bytes.begin());
    canned.rxLen = rxLen.value_or(static_cast<std::uint8_t>(reply.size()));
  }
  // Answers every command alike.
  void AnswerEvery(std::span<const std::uint8_t> reply,
                   std::optional<std::uint8_t> rxLen = std::nullopt) {
    slotOf_.fill(0);
    slotsUsed_ = 0;
    Answer(0, reply, rxLen);
  }

  // A reply frame: STX, a filler byte, `body` (code and fields), ETX and the
  // check byte that makes the XOR of the whole reply zero.
  static std::vector<std::uint8_t> Frame(std::string_view body) {
    std::vector<std::uint8_t> frame(body.size() + 4);
    frame[0] = protocol::kStx;
    frame[1] = '0';
    std::copy(body.begin(), body.end(), frame.begin() + 2);
    frame[body.size() + 2] = protocol::kEtx;
    std::uint8_t bcc = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
      bcc = static_cast<std::uint8_t>(bcc ^ frame[i]);
    }
    frame.back() = bcc;
    return frame;
  }

  // The next command exchange returns 5 (after its reply was judged).
  std::atomic<bool> failExchange{false};
  // The next acknowledgement raises std::runtime_error.
  std::atomic<bool> failAcknowledge{false};

  // Rejections the check reported on `line`.
  std::uint64_t Rejections(std::uint32_t line) const {
    return lines_[line % lines_.size()].rejections.load(std::memory_order_relaxed);
  }

  std::int32_t FailResult(std::uint32_t) override { return 1; }
  void SetLineError(std::uint32_t, std::uint32_t) override {}
  void SetLineState(std::uint32_t line, std::uint32_t state) override {
    Line& l = lines_[line % lines_.size()];
    l.state.store(static_cast<std::uint8_t>(state), std::memory_order_relaxed);
    if (state != protocol::kLineAccepted) {
      l.rejections.fetch_add(1, std::memory_order_relaxed);
    }
  }
  std::uint8_t GetLineState(std::uint32_t line) override {
    return lines_[line % lines_.size()].state.load(std::memory_order_relaxed);
  }
  std::int32_t ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetLineInit(std::uint32_t, LineInitHandler) override {}
  void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) override {
    Line& l = lines_[line % lines_.size()];
    l.checkRoutine.store(handler.routine, std::memory_order_relaxed);
    l.checkObject.store(handler.object, std::memory_order_relaxed);
  }

  std::int32_t Exchange(std::uint32_t line, std::uint32_t, std::span<const std::uint8_t> request,
                        std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                        std::uint8_t) override {
    if (expectedLen == protocol::kAckExpectedLen) {
      if (failAcknowledge.load(std::memory_order_relaxed) && failAcknowledge.exchange(false)) {
        throw std::runtime_error("acknowledgement failed");
      }
      return 0;
    }
    const std::uint8_t letter = request.size() > 5 ? request[5] : 0;
    OnCommand(line, letter);
    const Canned& answer = canned_[slotOf_[letter & 0x7F]];
    std::copy_n(answer.bytes.begin(), std::min<std::size_t>(answer.size, reply.size()),
                reply.begin());
    const Line& l = lines_[line % lines_.size()];
    const ReplyCheckHandler check{l.checkRoutine.load(std::memory_order_relaxed),
                                  l.checkObject.load(std::memory_order_relaxed)};
    check(static_cast<std::uint8_t>(line), reply, answer.rxLen, expectedLen);
    OnAnswered(line);
    if (failExchange.load(std::memory_order_relaxed) && failExchange.exchange(false)) {
      return 5;
    }
    return 0;
  }

 protected:
  // Run inside every command exchange, before the reply and after it was
  // judged: a test may hold or count exchanges there.
  virtual void OnCommand(std::uint32_t /*line*/, std::uint8_t /*letter*/) {}
  virtual void OnAnswered(std::uint32_t /*line*/) {}

 private:
  struct Canned {
    std::array<std::uint8_t, kMaxReply> bytes{};
    std::uint8_t size = 0;
    std::uint8_t rxLen = 0;
  };
  struct alignas(64) Line {
    std::atomic<std::uint8_t> state{0};
    std::atomic<std::uint64_t> rejections{0};
    std::atomic<ReplyCheckHandler::Routine> checkRoutine{nullptr};
    std::atomic<void*> checkObject{nullptr};
  };

  std::array<Canned, 12> canned_{};         // [0]: every letter not named
  std::array<std::uint8_t, 128> slotOf_{};  // letter -> its slot in canned_
  std::size_t slotsUsed_ = 0;
  std::array<Line, protocol::kLineCount + 1> lines_{};
};

}  // namespace tarvenix::testing
