#include "support/fake_com_link.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace tarvenix::testing {

Bytes MakeReply(std::string_view body, std::uint8_t start) {
  Bytes reply(body.size() + 3);
  reply[0] = start;
  reply[1] = '0';
  std::copy(body.begin(), body.end(), reply.begin() + 2);
  reply.back() = 0x03;
  std::uint8_t bcc = 0;
  for (std::uint8_t b : reply) {
    bcc = static_cast<std::uint8_t>(bcc ^ b);
  }
  reply.push_back(bcc);
  return reply;
}

Bytes BytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

void FakeComLink::Queue(Script script) {
  std::lock_guard lock(mutex_);
  scripts_.push_back(std::move(script));
}

void FakeComLink::SetDefaultReply(Bytes reply) {
  std::lock_guard lock(mutex_);
  defaultReply_ = std::move(reply);
}

std::int32_t FakeComLink::FailResult(std::uint32_t line) {
  std::lock_guard lock(mutex_);
  calls_.push_back({.op = Call::Op::kFailResult, .line = line});
  return failResult;
}

void FakeComLink::SetLineError(std::uint32_t line, std::uint32_t code) {
  std::lock_guard lock(mutex_);
  calls_.push_back({.op = Call::Op::kSetLineError, .line = line, .args = {code}});
  lineError_[line & 0xFF] = code;
}

void FakeComLink::SetLineState(std::uint32_t line, std::uint32_t state) {
  std::lock_guard lock(mutex_);
  calls_.push_back({.op = Call::Op::kSetLineState, .line = line, .args = {state}});
  lineState_[line & 0xFF] = state;
}

std::uint8_t FakeComLink::GetLineState(std::uint32_t line) {
  std::lock_guard lock(mutex_);
  calls_.push_back({.op = Call::Op::kGetLineState, .line = line});
  if (std::exchange(raiseNextGetLineState_, false)) {
    throw std::runtime_error("line state unavailable");
  }
  if (auto state = std::exchange(nextLineState_, std::nullopt)) {
    return *state;
  }
  return static_cast<std::uint8_t>(lineState_[line & 0xFF]);
}

std::int32_t FakeComLink::ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                        std::uint32_t baud) {
  std::lock_guard lock(mutex_);
  calls_.push_back({.op = Call::Op::kConfigureLine, .line = line, .args = {setting, baud}});
  return 0;
}

std::int32_t FakeComLink::Exchange(std::uint32_t line, std::uint32_t port,
                                   std::span<const std::uint8_t> request,
                                   std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                   std::uint8_t mode) {
  Script script;
  ReplyCheckHandler check;
  bool acknowledging = false;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({.op = Call::Op::kExchange,
                      .line = line,
                      .args = {port, static_cast<std::uint32_t>(request.size()),
                               static_cast<std::uint32_t>(reply.size()), expectedLen, mode},
                      .sent = Bytes(request.begin(), request.end())});
    acknowledging = expectedLen == 0;
    if (!acknowledging) {
      if (!scripts_.empty()) {
        script = std::move(scripts_.front());
        scripts_.pop_front();
      } else if (defaultReply_) {
        script.reply = *defaultReply_;
      } else {
        ADD_FAILURE() << "unscripted exchange on line " << line;
        return -1;
      }
      raiseNextGetLineState_ = script.raiseInGetLineState;
      nextLineState_ = script.lineState;
      check = replyCheck_[line & 0xFF];
    }
  }
  if (acknowledging) {
    // An ACK or NAK: nothing is received.
    if (onAcknowledge) {
      onAcknowledge();
    }
    if (raiseOnAcknowledge) {
      throw std::runtime_error("acknowledgement failed");
    }
    return 0;
  }
  if (script.raiseInExchange) {
    throw std::runtime_error("exchange failed");
  }
  const std::size_t n = std::min(script.reply.size(), reply.size());
  std::copy_n(script.reply.begin(), n, reply.begin());
  if (check.routine != nullptr) {
    const auto rxLen = script.rxLen.value_or(static_cast<std::uint8_t>(script.reply.size()));
    check(static_cast<std::uint8_t>(line), reply, rxLen, expectedLen);
  }
  return script.result;
}

void FakeComLink::SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) {
  std::lock_guard lock(mutex_);
  calls_.push_back({.op = Call::Op::kSetReplyCheck, .line = line, .replyCheck = handler});
  replyCheck_[line & 0xFF] = handler;
}

void FakeComLink::SetLineInit(std::uint32_t line, LineInitHandler handler) {
  std::lock_guard lock(mutex_);
  calls_.push_back({.op = Call::Op::kSetLineInit, .line = line, .lineInit = handler});
  lineInit_[line & 0xFF] = handler;
}

std::vector<Call> FakeComLink::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<Call> FakeComLink::CallsOf(Call::Op op) const {
  std::lock_guard lock(mutex_);
  std::vector<Call> out;
  std::ranges::copy_if(calls_, std::back_inserter(out), [&](const Call& c) { return c.op == op; });
  return out;
}

std::vector<Bytes> FakeComLink::Sent() const {
  std::vector<Bytes> out;
  for (const Call& c : CallsOf(Call::Op::kExchange)) {
    out.push_back(c.sent);
  }
  return out;
}

std::vector<std::string> FakeComLink::CommandsSent() const {
  std::vector<std::string> out;
  for (const Bytes& frame : Sent()) {
    if (frame.size() >= 7) {
      out.emplace_back(frame.begin() + 5, frame.end() - 2);
    }
  }
  return out;
}

std::optional<LineInitHandler> FakeComLink::LineInit(std::uint32_t line) const {
  std::lock_guard lock(mutex_);
  return lineInit_[line & 0xFF];
}

std::uint32_t FakeComLink::LastLineState(std::uint32_t line) const {
  std::lock_guard lock(mutex_);
  return lineState_[line & 0xFF];
}

std::uint32_t FakeComLink::LastLineError(std::uint32_t line) const {
  std::lock_guard lock(mutex_);
  return lineError_[line & 0xFF];
}

void FakeComLink::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

}  // namespace tarvenix::testing
