// A line service that answers every command at once with a canned reply
// chosen by its letter, has the installed reply check judge it, and takes
// acknowledgements silently: a quiet dispenser on every line. Replies are
// made before use, so exchanges allocate nothing; lines keep their state
// apart. Set the answers before threads start. Header-only and free of
// GoogleTest, for tests and fuzz targets alike.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <tarvenix/com_link.hpp>
#include <tarvenix/protocol.hpp>
#include <vector>

#include "support/no_pause.hpp"

namespace tarvenix::testing {

class CannedComLink : public TComLink {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // STX, a filler byte, `body` (code and fields), ETX and the check byte
  // that makes the XOR of the whole reply zero.
  static Bytes Frame(std::string_view body) {
    Bytes frame(body.size() + 4);
    frame[0] = protocol::kStx;
    frame[1] = '0';
    std::copy(body.begin(), body.end(), frame.begin() + 2);
    frame[body.size() + 2] = protocol::kEtx;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
      frame.back() = static_cast<std::uint8_t>(frame.back() ^ frame[i]);
    }
    return frame;
  }

  // S state '1' (ready) by default; D 12.34 / 561.53 to C; T counters 1 and
  // 2 to V; p 42 to r; A to w; a single ACK to E and T.
  CannedComLink() {
    AnswerEvery(Frame("S0001000000"));
    Answer('C', Frame("D0432103516500"));
    Answer('V', Frame("T00000000010000000020"));
    Answer('r', Frame("p00042"));
    Answer('w', Frame("A0"));
    Answer('E', {protocol::kAck});
    Answer('T', {protocol::kAck});
  }

  // Commands with `letter` get `reply`, reported to the check as `rxLen`
  // bytes (its size if unset).
  void Answer(std::uint8_t letter, Bytes reply, std::optional<std::uint8_t> rxLen = {}) {
    rxLen_[letter & 0x7F] = rxLen.value_or(static_cast<std::uint8_t>(reply.size()));
    replies_[letter & 0x7F] = std::move(reply);
  }
  void AnswerEvery(std::span<const std::uint8_t> reply, std::optional<std::uint8_t> rxLen = {}) {
    for (std::size_t letter = 0; letter < replies_.size(); ++letter) {
      Answer(static_cast<std::uint8_t>(letter), Bytes(reply.begin(), reply.end()), rxLen);
    }
  }

  std::atomic<bool> failExchange{false};     // the next command exchange returns 5
  std::atomic<bool> failAcknowledge{false};  // the next ACK or NAK raises

  std::uint64_t Rejections(std::uint32_t line) const { return At(line).rejections.load(); }

  std::int32_t FailResult(std::uint32_t) override { return 1; }
  void SetLineError(std::uint32_t, std::uint32_t) override {}
  void SetLineState(std::uint32_t line, std::uint32_t state) override {
    At(line).state.store(static_cast<std::uint8_t>(state), std::memory_order_relaxed);
    if (state != protocol::kLineAccepted) {
      ++At(line).rejections;
    }
  }
  std::uint8_t GetLineState(std::uint32_t line) override {
    return At(line).state.load(std::memory_order_relaxed);
  }
  std::int32_t ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetLineInit(std::uint32_t, LineInitHandler) override {}
  void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) override {
    At(line).routine.store(handler.routine, std::memory_order_relaxed);
    At(line).object.store(handler.object, std::memory_order_relaxed);
  }

  std::int32_t Exchange(std::uint32_t line, std::uint32_t, std::span<const std::uint8_t> request,
                        std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                        std::uint8_t) override {
    if (expectedLen == protocol::kAckExpectedLen) {
      if (failAcknowledge.exchange(false)) {
        throw std::runtime_error("acknowledgement failed");
      }
      return 0;
    }
    const std::size_t letter = request.size() > 5 ? request[5] & 0x7Fu : 0;
    OnCommand(line, static_cast<std::uint8_t>(letter));
    const Bytes& answer = replies_[letter];
    std::copy_n(answer.begin(), std::min(answer.size(), reply.size()), reply.begin());
    const ReplyCheckHandler check{At(line).routine.load(std::memory_order_relaxed),
                                  At(line).object.load(std::memory_order_relaxed)};
    check(static_cast<std::uint8_t>(line), reply, rxLen_[letter], expectedLen);
    OnAnswered(line);
    return failExchange.exchange(false) ? 5 : 0;
  }

 protected:
  // Inside every command exchange, before the reply and after its check: a
  // test may hold or count exchanges there.
  virtual void OnCommand(std::uint32_t /*line*/, std::uint8_t /*letter*/) {}
  virtual void OnAnswered(std::uint32_t /*line*/) {}

 private:
  struct alignas(64) Line {
    std::atomic<std::uint8_t> state{0};
    std::atomic<std::uint64_t> rejections{0};
    std::atomic<ReplyCheckHandler::Routine> routine{nullptr};
    std::atomic<void*> object{nullptr};
  };
  Line& At(std::uint32_t line) { return lines_[line % lines_.size()]; }
  const Line& At(std::uint32_t line) const { return lines_[line % lines_.size()]; }

  std::array<Bytes, 128> replies_;
  std::array<std::uint8_t, 128> rxLen_{};
  std::array<Line, protocol::kLineCount + 1> lines_{};
};

}  // namespace tarvenix::testing
