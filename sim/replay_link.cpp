#include "sim/replay_link.hpp"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "sim/line_service.hpp"

namespace tarvenix::sim {
namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex, std::size_t lineNo) {
  std::vector<std::uint8_t> bytes;
  if (hex == "-") {
    return bytes;
  }
  if (hex.size() % 2 != 0) {
    throw std::runtime_error("record line " + std::to_string(lineNo) + ": odd hex");
  }
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

}  // namespace

ReplayLink::ReplayLink(std::istream& record) {
  std::string text;
  std::size_t lineNo = 0;
  while (std::getline(record, text)) {
    ++lineNo;
    if (text.empty() || text[0] == '#') {
      continue;
    }
    std::istringstream fields(text);
    std::string time;
    std::string dir;
    std::string hex;
    Entry entry;
    entry.lineNo = lineNo;
    std::getline(fields, time, '\t');
    fields >> entry.line;
    fields.ignore(1);
    std::getline(fields, dir, '\t');
    std::getline(fields, hex, '\t');
    std::getline(fields, entry.verdict);
    if (!fields || (dir != "tx" && dir != "rx")) {
      throw std::runtime_error("record line " + std::to_string(lineNo) + " is not a transmission");
    }
    entry.tx = dir == "tx";
    entry.bytes = FromHex(hex, lineNo);
    entries_.push_back(std::move(entry));
  }
}

std::int32_t ReplayLink::Fail(std::string message) {
  if (mismatch_.empty()) {
    mismatch_ = std::move(message);
  }
  next_ = entries_.size() + 1;  // nothing more matches
  return lines::kResultFault;
}

bool ReplayLink::ExpectSent(std::uint32_t line, std::span<const std::uint8_t> bytes) {
  if (next_ >= entries_.size()) {
    return false;
  }
  const Entry& e = entries_[next_];
  if (!e.tx || e.line != line || !std::ranges::equal(e.bytes, bytes)) {
    return false;
  }
  ++next_;
  return true;
}

std::int32_t ReplayLink::FailResult(std::uint32_t /*line*/) {
  return lines::kResultFault;
}

void ReplayLink::SetLineError(std::uint32_t /*line*/, std::uint32_t /*code*/) {}

void ReplayLink::SetLineState(std::uint32_t /*line*/, std::uint32_t state) {
  lineState_ = static_cast<std::uint8_t>(state);
}

std::uint8_t ReplayLink::GetLineState(std::uint32_t /*line*/) {
  return lineState_;
}

std::int32_t ReplayLink::ConfigureLine(std::uint32_t /*line*/, std::uint32_t /*setting*/,
                                       std::uint32_t /*baud*/) {
  return lines::kResultOk;
}

void ReplayLink::SetReplyCheck(std::uint32_t /*line*/, ReplyCheckHandler handler) {
  check_ = handler;
}

void ReplayLink::SetLineInit(std::uint32_t /*line*/, LineInitHandler /*handler*/) {}

std::int32_t ReplayLink::Exchange(std::uint32_t line, std::uint32_t /*port*/,
                                  std::span<const std::uint8_t> request,
                                  std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                  std::uint8_t /*mode*/) {
  const std::size_t at = next_ < entries_.size() ? entries_[next_].lineNo : 0;
  if (!ExpectSent(line, request)) {
    return Fail("the driver sent something else than record line " + std::to_string(at));
  }
  if (expectedLen == protocol::kAckExpectedLen) {
    return lines::kResultOk;
  }
  for (;;) {
    lineState_ = 0;
    if (next_ >= entries_.size() || entries_[next_].tx) {
      return Fail("record line " + std::to_string(at) + " has no answer");
    }
    const Entry& answer = entries_[next_++];
    std::int32_t result = lines::kResultNoReply;
    if (!answer.bytes.empty()) {
      const std::size_t n = std::min(answer.bytes.size(), reply.size());
      std::copy_n(answer.bytes.begin(), n, reply.begin());
      if (check_.routine != nullptr && check_(static_cast<std::uint8_t>(line), reply,
                                              static_cast<std::uint8_t>(n), expectedLen)) {
        return lines::kResultOk;
      }
      result = lines::IsRefusal(reply.first(n)) ? lines::kResultRefused : lines::kResultOk;
    }
    // A recorded repetition follows a timeout or a rejection.
    if (next_ < entries_.size() && entries_[next_].tx && entries_[next_].verdict == "repeat") {
      if (!ExpectSent(line, request)) {
        return Fail("record line " + std::to_string(entries_[next_].lineNo) +
                    " repeats another frame");
      }
      continue;
    }
    return result;
  }
}

}  // namespace tarvenix::sim
