// SerialComLink: a TComLink over the serial ports of a Linux host.
//
// Each of the driver's lines 1..32 is mapped to a device path. The port is
// opened by ConfigureLine, which the driver calls when it opens a line:
// ConfigureLine(line, setting, baud) opens or reconfigures the port at
// `baud` (8 data bits, no parity, 1 stop bit unless the line's settings say
// otherwise) and takes `setting` as the reply timeout in tens of
// milliseconds: the driver's 14 gives 140 ms for the first byte of a reply,
// counted from the moment the request has left the port. Both can be
// overridden per line.
//
// An exchange drops and counts stale input (see instrumented_link.hpp for
// the guard against late replies), writes the request and waits for the
// first reply byte; once bytes come, it stops as soon as they form a
// complete reply (the expected length, or the length the reply code at
// index 2 implies), after an inter-byte gap, or when the overall timeout
// (first-byte timeout plus the expected reply's time on the wire) runs out.
// It never waits for a timeout when the reply is complete. It then has the
// driver's reply check judge the bytes. ACK and NAK (expected length 0) are
// written and nothing is read for them.
//
// Retries, results, re-initialisation, statistics and threads are those of
// every line service of ours (<tarvenix/lines/policy_link.hpp>). A port that fails
// (unplugged adapter, I/O error) is closed and the exchange returns
// kResultPortFailed at once; the next exchange opens the port again and
// re-initialises the line before its command goes out. A port that cannot
// be opened is tried again after 1 s, doubling up to 30 s; exchanges in
// between fail at once with kResultPortFailed. Health() says why (errno).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tarvenix/lines/policy_link.hpp>

namespace tarvenix::lines {

struct PortSettings {
  std::string device;  // e.g. /dev/ttyUSB0, or a pseudo-terminal
  // Overrides of what ConfigureLine asks for.
  std::optional<std::uint32_t> baud;
  std::optional<std::chrono::milliseconds> replyTimeout;
  int dataBits = 8;   // 5..8
  char parity = 'N';  // 'N', 'E' or 'O'
  int stopBits = 1;   // 1 or 2
  std::chrono::milliseconds interByteTimeout{50};
  // Drop replies whose byte 1 is not the request's sequence digit: only for
  // dispensers known to echo it there (PolicyLink::MatchEcho).
  bool matchEcho = false;
};

class SerialComLink final : public lines::PolicyLink {
 public:
  SerialComLink();
  ~SerialComLink() override;
  SerialComLink(const SerialComLink&) = delete;
  SerialComLink& operator=(const SerialComLink&) = delete;

  // Maps `line` (1..32) to a port. Takes effect at the next ConfigureLine;
  // `matchEcho` at once.
  void AssignPort(std::uint32_t line, PortSettings settings);

  std::int32_t ConfigureLine(std::uint32_t line, std::uint32_t setting,
                             std::uint32_t baud) override;

 private:
  struct Port;

  std::int32_t Ready(std::uint32_t line) override;
  bool Put(std::uint32_t line, std::span<const std::uint8_t> bytes) override;
  Collected Collect(std::uint32_t line, std::span<std::uint8_t> reply,
                    std::uint8_t expectedLen) override;
  Collected Drain(std::uint32_t line, std::span<std::uint8_t> into) override;
  Collected Listen(std::uint32_t line, std::uint64_t untilUs,
                   std::span<std::uint8_t> into) override;
  Timing LineTiming(std::uint32_t line) const override;
  int OsError(std::uint32_t line) const override;
  void OnFailure(std::uint32_t line) override;
  bool PrepareReinit(std::uint32_t line) override;
  std::uint64_t NowUs() const override;

  std::array<std::unique_ptr<Port>, 32> ports_;  // guarded by the line's lock
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace tarvenix::lines
