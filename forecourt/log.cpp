#include "forecourt/log.hpp"

#include <chrono>
#include <cstdint>

#include "forecourt/json.hpp"

namespace tarvenix::forecourt {

void Log::Write(const std::string& line) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::lock_guard lock(mutex_);
  fmt::print(out_, "{} {}\n", Rfc3339(now), line);
  std::fflush(out_);
}

void ExchangeLog::OnLineEvent(const lines::LineEvent& event) {
  std::string bytes;
  for (std::uint8_t b : event.bytes) {
    bytes += fmt::format("{:02X} ", b);
  }
  switch (event.kind) {
    case lines::LineEvent::Kind::kConfigured:
      log_.Debug("line {}: configured, {} baud", event.line, event.baud);
      break;
    case lines::LineEvent::Kind::kSent:
      log_.Debug("line {}: sent {}", event.line, bytes);
      break;
    case lines::LineEvent::Kind::kReceived:
      log_.Debug("line {}: received {}(state {}, error {})", event.line, bytes, event.lineState,
                 event.lineError);
      break;
    case lines::LineEvent::Kind::kTimeout:
      log_.Debug("line {}: no reply", event.line);
      break;
    case lines::LineEvent::Kind::kReinit:
      log_.Debug("line {}: re-initialised", event.line);
      break;
    case lines::LineEvent::Kind::kStale:
      log_.Debug("line {}: dropped {} stale byte(s) {}", event.line, event.dropped, bytes);
      break;
  }
}

}  // namespace tarvenix::forecourt
