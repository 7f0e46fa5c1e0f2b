// A recording line service for tests: it logs every call with its arguments
// and the bytes sent, answers command exchanges from a script, calls the
// installed reply check the way a line service would, and raises or fails
// on request.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tarvenix/com_link.hpp>
#include <vector>

namespace tarvenix::testing {

using Bytes = std::vector<std::uint8_t>;

// Builds a reply frame: start byte, one filler byte, `body` (the reply code
// and its fields), ETX, and a check byte that makes the XOR of the whole reply
// zero. Computed here, independently of the driver's own code.
Bytes MakeReply(std::string_view body, std::uint8_t start = 0x02);

// The bytes of a string, for comparing command texts.
Bytes BytesOf(std::string_view text);

struct Call {
  enum class Op {
    kFailResult,
    kSetLineError,
    kSetLineState,
    kGetLineState,
    kConfigureLine,
    kExchange,
    kSetReplyCheck,
    kSetLineInit
  };
  Op op;
  std::uint32_t line = 0;
  std::vector<std::uint32_t> args;  // the further word arguments
  Bytes sent;                       // Exchange: the request bytes
  ReplyCheckHandler replyCheck{};
  LineInitHandler lineInit{};
};

class FakeComLink : public TComLink {
 public:
  // How the next command exchange (expectedLen > 0) goes.
  struct Script {
    Bytes reply;                            // received into the reply buffer
    std::optional<std::uint8_t> rxLen;      // reported length; reply.size() if unset
    std::int32_t result = 0;                // Exchange's result
    bool raiseInExchange = false;           // Exchange raises std::runtime_error
    bool raiseInGetLineState = false;       // the following GetLineState raises
    std::optional<std::uint8_t> lineState;  // GetLineState's answer instead of the check's
  };

  void Queue(Script script);
  void QueueReply(Bytes reply) { Queue({.reply = std::move(reply)}); }
  // Any command exchange without a script answers with `reply`.
  void SetDefaultReply(Bytes reply);

  std::int32_t failResult = -7;
  bool raiseOnAcknowledge = false;  // an ACK/NAK exchange raises
  // Runs as an ACK or NAK is sent: lets a test see the driver at that moment.
  std::function<void()> onAcknowledge;

  std::int32_t FailResult(std::uint32_t line) override;
  void SetLineError(std::uint32_t line, std::uint32_t code) override;
  void SetLineState(std::uint32_t line, std::uint32_t state) override;
  std::uint8_t GetLineState(std::uint32_t line) override;
  std::int32_t ConfigureLine(std::uint32_t line, std::uint32_t setting,
                             std::uint32_t baud) override;
  std::int32_t Exchange(std::uint32_t line, std::uint32_t port,
                        std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                        std::uint8_t expectedLen, std::uint8_t mode) override;
  void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) override;
  void SetLineInit(std::uint32_t line, LineInitHandler handler) override;

  // Snapshots, safe while other threads use the fake.
  std::vector<Call> Calls() const;
  std::vector<Call> CallsOf(Call::Op op) const;
  // The bytes of every Exchange in order, frames and ACK/NAK alike.
  std::vector<Bytes> Sent() const;
  // The command texts of the frames sent (between the sequence digit and ETX).
  std::vector<std::string> CommandsSent() const;
  std::optional<LineInitHandler> LineInit(std::uint32_t line) const;
  std::uint32_t LastLineState(std::uint32_t line) const;
  std::uint32_t LastLineError(std::uint32_t line) const;
  void ClearCalls();

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::deque<Script> scripts_;
  std::optional<Bytes> defaultReply_;
  bool raiseNextGetLineState_ = false;
  std::optional<std::uint8_t> nextLineState_;
  std::uint32_t lineState_[256] = {};
  std::uint32_t lineError_[256] = {};
  ReplyCheckHandler replyCheck_[256] = {};
  std::optional<LineInitHandler> lineInit_[256];
};

}  // namespace tarvenix::testing
