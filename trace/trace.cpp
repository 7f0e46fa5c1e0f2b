#include "trace/trace.hpp"

#include <fmt/core.h>

#include <optional>
#include <string_view>
#include <tarvenix/protocol.hpp>

#include "trace/layout.hpp"

namespace tarvenix::trace {
namespace {

using layout::DigitField;

std::string_view Chars(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A digit field as a number; '?' when a byte is no digit.
std::string Digits(std::span<const std::uint8_t> field, bool lowFirst) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const std::uint8_t c = field[lowFirst ? field.size() - 1 - i : i];
    out += c >= '0' && c <= '9' ? static_cast<char>(c) : '?';
  }
  return out;
}

// "12345" in hundredths as "123.45".
std::string Scaled(std::string digits, std::size_t decimals) {
  while (digits.size() < decimals + 1) {
    digits.insert(digits.begin(), '0');
  }
  std::string whole = digits.substr(0, digits.size() - decimals);
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size() - 1));
  return decimals == 0 ? whole : whole + "." + digits.substr(digits.size() - decimals);
}

std::string DescribeCommand(std::string_view text) {
  if (text.empty()) {
    return "empty command";
  }
  const auto digits = [&](DigitField f) {
    return Digits(std::span(reinterpret_cast<const std::uint8_t*>(text.data()) + f.first, f.count),
                  false);
  };
  namespace start = layout::start;
  switch (text[0]) {
    case 'E':
      if (text.size() == start::kLength) {
        return fmt::format("start: money dose {}, unit price {}, volume dose {}, mode {}",
                           Scaled(digits(start::kMoney), 0), Scaled(digits(start::kPrice), 2),
                           Scaled(digits(start::kVolume), 1), text[start::kMode]);
      }
      break;
    case 'T':
      return "stop";
    case 'C':
      return "live reading";
    case 'P':
      return "state poll";
    case 'S':
      return "state request (line reset)";
    case 'V':
      return fmt::format("totaliser counters, selector {}", text.substr(1));
    case 'r':
      return fmt::format("read parameter {}", text.substr(1));
    case 'w':
      if (text.size() == 5) {
        return fmt::format("write parameter {} := {}", text.substr(1, 2), text[3]);
      }
      break;
    default:
      break;
  }
  return "unknown command";
}

std::string_view ErrorName(std::uint32_t code) {
  switch (code) {
    case protocol::kErrorNoEtx:
      return "no ETX";
    case protocol::kErrorLength:
      return "wrong length";
    case protocol::kErrorCheckByte:
      return "bad check byte";
    case protocol::kErrorFirstByte:
      return "bad first byte";
    default:
      return "unknown";
  }
}

std::string_view StateName(std::uint8_t stateByte) {
  switch (stateByte & 3) {
    case 0:
      return "idle";
    case 1:
      return "nozzle lifted";
    case 2:
      return "no change";
    default:
      return "delivering";
  }
}

// A request frame as the trace shows it.
struct Frame {
  int addr = 0;
  char seq = 0;
  std::string_view text;
};

// Frames are read as sent: EOT, two address characters, STX, a sequence
// digit, the text, ETX and a check byte over all but EOT. Anything else is
// shown as malformed rather than guessed at.
std::optional<Frame> ParseFrame(std::span<const std::uint8_t> bytes) {
  namespace frame = layout::frame;
  if (bytes.size() < frame::kOverhead || bytes[0] != protocol::kEot ||
      bytes[frame::kStx] != protocol::kStx || bytes[bytes.size() - 2] != protocol::kEtx) {
    return std::nullopt;
  }
  std::uint8_t check = 0;
  for (std::size_t i = 1; i + 1 < bytes.size(); ++i) {
    check = static_cast<std::uint8_t>(check ^ bytes[i]);
  }
  const auto high = static_cast<int>(bytes[frame::kAddrHigh]) - frame::kAddrCharBase;
  const auto low = static_cast<int>(bytes[frame::kAddrLow]) - frame::kAddrCharBase;
  const std::uint8_t seq = bytes[frame::kSeq];
  if (check != bytes.back() || high < 0 || high > 1 || low < 0 || low > 15 || seq < '0' ||
      seq > '9') {
    return std::nullopt;
  }
  return Frame{.addr = high * 16 + low + 1,
               .seq = static_cast<char>(seq),
               .text = Chars(bytes.subspan(frame::kText, bytes.size() - frame::kOverhead))};
}

}  // namespace

std::string Hex(std::span<const std::uint8_t> bytes, bool spaced) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (spaced && i > 0) {
      out += ' ';
    }
    out += fmt::format("{:02x}", bytes[i]);
  }
  return out;
}

std::string DescribeRequest(std::span<const std::uint8_t> bytes) {
  if (bytes.size() == 1 && bytes[0] == protocol::kAck) {
    return "ACK";
  }
  if (bytes.size() == 1 && bytes[0] == protocol::kNak) {
    return "NAK";
  }
  const auto frame = ParseFrame(bytes);
  if (!frame) {
    return "malformed frame";
  }
  return fmt::format("frame to address {}, sequence {}, \"{}\": {}", frame->addr, frame->seq,
                     frame->text, DescribeCommand(frame->text));
}

std::string DescribeReply(std::span<const std::uint8_t> bytes) {
  if (bytes.size() == 1) {
    switch (bytes[0]) {
      case protocol::kAck:
        return "ACK (command accepted)";
      case protocol::kNak:
        return "NAK (command refused)";
      default:
        return "a single stray byte";
    }
  }
  if (bytes.size() <= protocol::kReplyCodeIndex) {
    return "a fragment";
  }
  const char code = static_cast<char>(bytes[protocol::kReplyCodeIndex]);
  const auto field = [&](DigitField f) {
    return f.first + f.count <= bytes.size() ? bytes.subspan(f.first, f.count)
                                             : std::span<const std::uint8_t>{};
  };
  namespace wire = layout;
  const auto sized = [&](std::size_t length) { return bytes.size() == length; };
  switch (code) {
    case wire::state_reply::kCode:
      if (sized(wire::state_reply::kLength)) {
        const std::uint8_t state = bytes[wire::state_reply::kState];
        return fmt::format("S reply: state '{}' ({}), nozzle {}", static_cast<char>(state),
                           StateName(state),
                           bytes[wire::state_reply::kNozzle] == '1' ? "lifted" : "hung");
      }
      break;
    case wire::live_reply::kRunning:
      if (sized(wire::live_reply::kRunningLength)) {
        return fmt::format("D reply: volume {}, money {}",
                           Scaled(Digits(field(wire::live_reply::kVolume), true), 2),
                           Scaled(Digits(field(wire::live_reply::kMoney), true), 2));
      }
      break;
    case wire::live_reply::kPresetReached:
    case wire::live_reply::kStopped:
      if (sized(wire::live_reply::kFinalLength)) {
        return fmt::format("{} reply ({}): volume {}, money below 1000 {}", code,
                           code == 'F' ? "final, preset reached" : "final, stopped",
                           Scaled(Digits(field(wire::live_reply::kVolume), true), 2),
                           Scaled(Digits(field(wire::live_reply::kMoney), true), 3));
      }
      break;
    case wire::totals_reply::kCode:
      if (sized(wire::totals_reply::kLength)) {
        return fmt::format("T reply: counters {} and {}",
                           Digits(field(wire::totals_reply::kVolume), false),
                           Digits(field(wire::totals_reply::kMoney), false));
      }
      break;
    case wire::param_reply::kCode:
      if (sized(wire::param_reply::kLength)) {
        return fmt::format("p reply: parameter {} = {}", Chars(field(wire::param_reply::kNumber)),
                           Digits(field(wire::param_reply::kValue), false));
      }
      break;
    case wire::written_reply::kCode:
      if (sized(wire::written_reply::kLength)) {
        return fmt::format("A reply: written {}",
                           static_cast<char>(bytes[wire::written_reply::kValue]));
      }
      break;
    case wire::waiting_reply::kCode:
      if (sized(wire::waiting_reply::kLength)) {
        return "C reply: authorised, waiting for the nozzle";
      }
      break;
    default:
      break;
  }
  return "unrecognised reply";
}

std::string DescribeVerdict(std::uint8_t lineState, std::uint32_t lineError) {
  if (lineState == protocol::kLineAccepted) {
    return "accepted";
  }
  return fmt::format("rejected, error {} ({})", lineError, ErrorName(lineError));
}

void TraceMonitor::OnLineEvent(const lines::LineEvent& e) {
  const std::string stamp =
      fmt::format("{:9.3f} L{}", static_cast<double>(e.timeUs) / 1000.0, e.line);
  switch (e.kind) {
    case lines::LineEvent::Kind::kConfigured:
      timeoutUs_ = std::uint64_t{e.setting} * 10'000;
      fmt::print(out_, "{}    line configured: {} baud, reply timeout {} ms (setting {})\n", stamp,
                 e.baud, timeoutUs_ / 1000, e.setting);
      break;
    case lines::LineEvent::Kind::kSent:
      fmt::print(out_, "{} -> {:<44} {}{}\n", stamp, Hex(e.bytes, true), DescribeRequest(e.bytes),
                 e.attempt > 0 ? fmt::format(" [repeat {}]", e.attempt) : "");
      break;
    case lines::LineEvent::Kind::kReceived:
      fmt::print(out_, "{} <- {:<44} {}: {}\n", stamp, Hex(e.bytes, true), DescribeReply(e.bytes),
                 DescribeVerdict(e.lineState, e.lineError));
      break;
    case lines::LineEvent::Kind::kTimeout:
      fmt::print(out_, "{} <- {:<44} nothing within the reply timeout\n", stamp, "(silence)");
      break;
    case lines::LineEvent::Kind::kReinit:
      fmt::print(out_, "{}    re-initialising the line after repeated failures\n", stamp);
      break;
    case lines::LineEvent::Kind::kStale:
      fmt::print(out_, "{} <- {:<44} stale: {} byte{} dropped, answering no request of now\n",
                 stamp, Hex(e.bytes, true), e.dropped, e.dropped == 1 ? "" : "s");
      break;
  }
}

RecordMonitor::RecordMonitor(std::FILE* out) : out_(out) {
  fmt::print(out_, "# tarvenix record 1: time_ms line dir hex verdict\n");
}

void RecordMonitor::OnLineEvent(const lines::LineEvent& e) {
  const double ms = static_cast<double>(e.timeUs) / 1000.0;
  switch (e.kind) {
    case lines::LineEvent::Kind::kSent: {
      std::string_view verdict = e.attempt > 0 ? "repeat" : "frame";
      if (e.bytes.size() == 1 && e.bytes[0] == protocol::kAck) {
        verdict = "ack";
      } else if (e.bytes.size() == 1 && e.bytes[0] == protocol::kNak) {
        verdict = "nak";
      }
      fmt::print(out_, "{:.3f}\t{}\ttx\t{}\t{}\n", ms, e.line, Hex(e.bytes, false), verdict);
      break;
    }
    case lines::LineEvent::Kind::kReceived:
      if (e.lineState == protocol::kLineAccepted) {
        fmt::print(out_, "{:.3f}\t{}\trx\t{}\taccepted\n", ms, e.line, Hex(e.bytes, false));
      } else {
        fmt::print(out_, "{:.3f}\t{}\trx\t{}\trejected:{}\n", ms, e.line, Hex(e.bytes, false),
                   e.lineError);
      }
      break;
    case lines::LineEvent::Kind::kTimeout:
      fmt::print(out_, "{:.3f}\t{}\trx\t-\ttimeout\n", ms, e.line);
      break;
    case lines::LineEvent::Kind::kStale:
      // A comment: a playback must not take dropped bytes for an answer.
      fmt::print(out_, "# {:.3f}\t{}\trx\t{}\tstale:{}\n", ms, e.line, Hex(e.bytes, false),
                 e.dropped);
      break;
    case lines::LineEvent::Kind::kConfigured:
    case lines::LineEvent::Kind::kReinit:
      break;
  }
}

void TeeMonitor::OnLineEvent(const lines::LineEvent& event) {
  first_->OnLineEvent(event);
  second_->OnLineEvent(event);
}

}  // namespace tarvenix::trace
