// SerialComLink: a TComLink over the serial ports of a Linux host.
//
// Each of the driver's lines 1..32 is mapped to a device path. The port is
// opened by ConfigureLine, which the driver calls when it opens a line:
// ConfigureLine(line, setting, baud) opens or reconfigures the port at
// `baud` (8 data bits, no parity, 1 stop bit unless the line's settings say
// otherwise) and takes `setting` as the reply timeout in tens of
// milliseconds: the driver's 14 gives 140 ms for the first byte of a reply,
// counted from the moment the request has left the port.
//
// An exchange flushes stale input, writes the request and waits for the
// first reply byte; once bytes come, it stops as soon as they form a
// complete reply (the expected length, or the length the reply code at
// index 2 implies), after an inter-byte gap, or when the overall timeout
// (first-byte timeout plus the expected reply's time on the wire) runs out.
// It then has the driver's reply check judge the bytes.
//
// Retries: a reply the check refuses, or no reply at all, makes the service
// send the same frame again, up to `retries` more times. The frame keeps its
// sequence digit, so the controller recognises the repetition and answers
// again without acting twice. Results:
//   0                 a reply was received (accepted, or refused on the last
//                     try: the line state then says 3 and the driver NAKs)
//   kNoReply          nothing came back on any try (line state 3, error
//                     kErrorNoReply)
//   kNotConfigured    the line has no port or was never configured
//   kPortFailed       the port could not be opened, or failed during the
//                     exchange and was closed
// A port that fails is closed. The next exchange on the line opens it again
// and then calls the line's (re)initialisation handler, so the driver resets
// the line before its command goes out.
//
// ACK and NAK (expected length 0) are written and nothing is read for them.
//
// Threads: exchanges of one line are serialised by the service; different
// lines run in parallel. The (re)initialisation handler runs on the thread
// of the exchange that reopened the port, and may exchange on the same line.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tarvenix/com_link.hpp"
#include "tools/serial/link_statistics.hpp"

namespace tarvenix::serial {

struct PortSettings {
  std::string device;  // e.g. /dev/ttyUSB0, or a pseudo-terminal
  // Overrides of what ConfigureLine asks for.
  std::optional<std::uint32_t> baud;
  std::optional<std::chrono::milliseconds> replyTimeout;
  int dataBits = 8;   // 5..8
  char parity = 'N';  // 'N', 'E' or 'O'
  int stopBits = 1;   // 1 or 2
  std::chrono::milliseconds interByteTimeout{50};
  int retries = 2;  // further tries after a refused or missing reply
};

class SerialComLink final : public TComLink {
 public:
  static constexpr std::int32_t kNotConfigured = 1;
  static constexpr std::int32_t kPortFailed = 2;
  static constexpr std::int32_t kNoReply = 3;
  static constexpr std::int32_t kRaised = 4;  // FailResult: the exchange raised
  // The error code recorded when nothing came back.
  static constexpr std::uint8_t kErrorNoReply = 255;

  SerialComLink();
  ~SerialComLink() override;
  SerialComLink(const SerialComLink&) = delete;
  SerialComLink& operator=(const SerialComLink&) = delete;

  // Maps `line` (1..32) to a port. Takes effect at the next ConfigureLine.
  void AssignPort(std::uint32_t line, PortSettings settings);
  LinkStatistics Statistics(std::uint32_t line) const;
  // The error code of the line's last exchange (0, 209, 219, 222, 223 or
  // kErrorNoReply).
  std::uint8_t LineError(std::uint32_t line) const;

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
  struct Line;
  Line* Find(std::uint32_t line) const;
  std::int32_t Open(Line& line);
  std::int32_t CommandExchange(Line& line, std::span<const std::uint8_t> request,
                               std::span<std::uint8_t> reply, std::uint8_t expectedLen);

  std::array<std::unique_ptr<Line>, 32> lines_;
};

}  // namespace tarvenix::serial
