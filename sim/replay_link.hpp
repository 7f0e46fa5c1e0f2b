// ReplayLink: a TComLink that plays a recorded session back to the driver.
//
// It reads the record the tarvenix command writes with --record (one
// transmission per line: time_ms, line, dir, hex, verdict; see
// docs/simulator.md). Each time the driver sends something, it must be the
// next tx line of the record, byte for byte, on the same line; the rx lines
// that follow are handed back as the line's answers, judged by the driver's
// installed reply check as a live line service would. A recorded repetition
// (tx "repeat") is expected after a timeout or a rejected reply. So a
// session recorded on a real line becomes a regression test: the driver,
// given the same answers, must send the same bytes and come to the same
// values.
//
// A mismatch ends the replay: the exchange fails (lines::kResultFault) and
// Mismatch() says where.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <tarvenix/com_link.hpp>
#include <tarvenix/protocol.hpp>
#include <vector>

namespace tarvenix::sim {

class ReplayLink final : public TComLink {
 public:
  struct Entry {
    std::uint32_t line = 0;
    bool tx = false;
    std::vector<std::uint8_t> bytes;  // empty for a timeout
    std::string verdict;
    std::size_t lineNo = 0;  // in the record, for messages
  };

  // Raises std::runtime_error for a record it cannot read.
  explicit ReplayLink(std::istream& record);

  // Every transmission of the record has been played.
  bool Finished() const { return next_ == entries_.size(); }
  // Empty while everything matched.
  const std::string& Mismatch() const { return mismatch_; }

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

 private:
  // Consumes the next entry when it is the transmission `bytes` on `line`.
  bool ExpectSent(std::uint32_t line, std::span<const std::uint8_t> bytes);
  std::int32_t Fail(std::string message);

  std::vector<Entry> entries_;
  std::size_t next_ = 0;
  std::string mismatch_;
  std::uint8_t lineState_ = protocol::kLineAccepted;
  ReplyCheckHandler check_{};
};

}  // namespace tarvenix::sim
