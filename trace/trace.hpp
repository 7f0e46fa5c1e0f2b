// What goes over the line, for people (--trace) and for programs (--record).
//
// The trace shows every transmission with its time on the session's clock,
// the line, the direction (-> host to dispenser, <- dispenser to host), the
// bytes in hex and their meaning: for a frame the address, sequence digit
// and command; for a reply its code and fields and the reply check's verdict
// with its error code; ACK and NAK by name; timeouts, re-initialisations
// and stale bytes the line service dropped (a late reply, line noise).
//
// The record has one transmission per line, tab-separated:
//
//   time_ms  line  dir  hex  verdict
//
//   time_ms  milliseconds on the session's clock, three decimals
//   line     the line number
//   dir      tx (host to line) or rx (line to host)
//   hex      the bytes, two lowercase hex digits each, no spaces; "-" when
//            nothing came
//   verdict  tx: frame, repeat (the same frame sent again), ack, nak;
//            rx: accepted, rejected:CODE (209, 219, 222 or 223), timeout
//
// Lines starting with '#' are comments; the first names the format. Stale
// bytes the service dropped are recorded as comments, "# time_ms line rx
// hex stale:COUNT", so that a playback never takes them for an answer. A
// recording made on a real line can be played back to the driver: each tx
// frame is what the driver must send, and the rx lines up to the next tx
// are what the line answered.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <tarvenix/lines/instrumented_link.hpp>

namespace tarvenix::trace {

// The meaning of a request frame or of a single ACK/NAK byte sent by the host.
std::string DescribeRequest(std::span<const std::uint8_t> bytes);
// The meaning of a reply as received, without the verdict.
std::string DescribeReply(std::span<const std::uint8_t> bytes);
// "accepted", or "rejected, error 222 (bad check byte)".
std::string DescribeVerdict(std::uint8_t lineState, std::uint32_t lineError);
std::string Hex(std::span<const std::uint8_t> bytes, bool spaced);

class TraceMonitor final : public lines::LineMonitor {
 public:
  explicit TraceMonitor(std::FILE* out) : out_(out) {}
  void OnLineEvent(const lines::LineEvent& event) override;

 private:
  std::FILE* out_;
  std::uint64_t timeoutUs_ = 0;
};

class RecordMonitor final : public lines::LineMonitor {
 public:
  // Writes the format's comment line first.
  explicit RecordMonitor(std::FILE* out);
  void OnLineEvent(const lines::LineEvent& event) override;

 private:
  std::FILE* out_;
};

// Passes every event to two monitors.
class TeeMonitor final : public lines::LineMonitor {
 public:
  TeeMonitor(lines::LineMonitor* first, lines::LineMonitor* second)
      : first_(first), second_(second) {}
  void OnLineEvent(const lines::LineEvent& event) override;

 private:
  lines::LineMonitor* first_;
  lines::LineMonitor* second_;
};

}  // namespace tarvenix::trace
