#include "forecourt/log.hpp"

#include <array>
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
  }
}

namespace {

// Code points of 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order. The
// one unassigned code, 0x98, becomes U+FFFD.
constexpr std::array<char16_t, 64> kHighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string FromWindows1251(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x80) {
      AppendUtf8(out, byte);
    } else if (byte < 0xC0) {
      AppendUtf8(out, kHighHalf[byte - 0x80]);
    } else {
      AppendUtf8(out, static_cast<char32_t>(0x0410 + (byte - 0xC0)));
    }
  }
  return out;
}

}  // namespace tarvenix::forecourt
