#include "dispenser.hpp"

#include <algorithm>

#include "decode/reply_decoder.hpp"
#include "driver/commands.hpp"
#include "link/protocol.hpp"
#include "request_frame.hpp"

namespace tarvenix::sim {
namespace {

using namespace decode::reply_layout;

constexpr std::uint64_t kUsPerMinute = 60'000'000;

bool IsDigit(std::uint8_t c) {
  return c >= '0' && c <= '9';
}

bool AllDigits(std::span<const std::uint8_t> field) {
  return std::ranges::all_of(field, IsDigit);
}

std::int32_t Number(std::span<const std::uint8_t> digits) {
  std::int32_t value = 0;
  for (std::uint8_t c : digits) {
    value = value * 10 + (c - '0');
  }
  return value;
}

Transmission Refuse() {
  return SingleByte(protocol::kNak);
}

// Field bytes of each reply: the reply's length less start, sequence, code,
// ETX and BCC.
constexpr std::size_t kFieldsOf(std::size_t replyLength) {
  return replyLength - 5;
}
// Field indexes are reply indexes less 3 (start, sequence, code).
constexpr std::size_t kField(std::size_t replyIndex) {
  return replyIndex - 3;
}

}  // namespace

std::uint64_t Delivery::MoneyHundredths() const {
  return static_cast<std::uint64_t>(std::max(unitPrice, 0)) * volume / 100;
}

std::uint64_t Delivery::MoneyThousandths() const {
  return static_cast<std::uint64_t>(std::max(unitPrice, 0)) * volume / 10;
}

Dispenser::Dispenser(std::uint8_t addr, DispenserConfig config) : addr_(addr), config_(config) {
  params_[0] = addr;
  params_[1] = 1;
  params_[2] = static_cast<std::uint8_t>(std::min<std::uint32_t>(config.flowPerMinute / 100, 99));
}

std::uint64_t Dispenser::TotalVolume() const {
  return totalVolume_ + (phase_ == Phase::kDelivering ? delivery_.volume : 0);
}

std::uint64_t Dispenser::TotalMoney() const {
  return totalMoney_ + (phase_ == Phase::kDelivering ? delivery_.MoneyHundredths() : 0);
}

std::uint8_t Dispenser::StateChar() const {
  switch (phase_) {
    case Phase::kIdle:
      return nozzleUp_ ? '1' : '0';
    case Phase::kDelivering:
    case Phase::kEnded:
      return '3';
  }
  return '0';
}

void Dispenser::Advance(std::uint64_t nowUs) {
  if (nowUs <= lastUs_) {
    return;
  }
  const std::uint64_t elapsed = nowUs - lastUs_;
  lastUs_ = nowUs;
  if (phase_ != Phase::kDelivering || !nozzleUp_) {
    return;
  }
  flowedUs_ += elapsed;
  const std::uint64_t flowed = flowedUs_ * config_.flowPerMinute / kUsPerMinute;
  delivery_.volume = static_cast<std::uint32_t>(std::min<std::uint64_t>(flowed, delivery_.target));
  if (delivery_.volume >= delivery_.target) {
    End(EndReason::kPresetReached);
  }
}

void Dispenser::End(EndReason reason) {
  delivery_.end = reason;
  totalVolume_ += delivery_.volume;
  totalMoney_ += delivery_.MoneyHundredths();
  phase_ = Phase::kEnded;
}

void Dispenser::LiftNozzle(std::uint64_t nowUs) {
  Advance(nowUs);
  nozzleUp_ = true;
}

void Dispenser::HangNozzle(std::uint64_t nowUs) {
  Advance(nowUs);
  nozzleUp_ = false;
  if (phase_ == Phase::kDelivering && delivery_.volume > 0) {
    End(EndReason::kStopped);
  }
}

void Dispenser::OnAck() {
  if (finalSent_ && phase_ == Phase::kEnded) {
    phase_ = Phase::kIdle;
    if (config_.autoNozzle) {
      nozzleUp_ = false;
    }
  }
  finalSent_ = false;
}

Transmission Dispenser::Execute(std::span<const std::uint8_t> text, std::uint8_t seqChar,
                                std::uint64_t nowUs) {
  Advance(nowUs);
  finalSent_ = false;
  const std::uint8_t letter = text.empty() ? 0 : text[0];
  if (text.empty() || text.size() != CommandLength(letter)) {
    return Refuse();
  }
  switch (letter) {
    case 'E':
      return Start(text, nowUs);
    case 'T':
      if (phase_ == Phase::kDelivering) {
        End(EndReason::kStopped);
      }
      return SingleByte(protocol::kAck);
    case 'C':
      return Live(seqChar);
    case 'S':
      return IsDigit(text[1]) ? State(seqChar) : Refuse();
    case 'P':
      return State(seqChar);
    case 'V':
      return Totals(text, seqChar);
    case 'r':
      return ReadParam(text, seqChar);
    case 'w':
      return WriteParam(text, seqChar);
    default:
      return Refuse();
  }
}

Transmission Dispenser::Start(std::span<const std::uint8_t> text, std::uint64_t nowUs) {
  // E 0 MMMM PPPP VVVV m A
  if (phase_ == Phase::kDelivering || text[1] != '0' || !AllDigits(text.subspan(2, 12)) ||
      !IsDigit(text[14]) || text[15] != 'A') {
    return Refuse();
  }
  // A start while an ended delivery's final reading is still uncollected
  // replaces it: the counters have it already.
  delivery_ = {};
  delivery_.moneyDose = Number(text.subspan(2, 4));
  delivery_.unitPrice = Number(text.subspan(6, 4));
  delivery_.volumeDose = Number(text.subspan(10, 4));
  delivery_.mode = static_cast<std::uint8_t>(text[14] - '0');
  // A money dose stops the flow at the last hundredth whose price still
  // fits it, so the money never exceeds what was paid. Without a dose the
  // delivery runs until it is stopped or the display is full.
  std::uint32_t target = kVolumeLimit;
  if (delivery_.volumeDose > 0) {
    target = std::min<std::uint32_t>(target, static_cast<std::uint32_t>(delivery_.volumeDose) * 10);
  }
  if (delivery_.moneyDose > 0 && delivery_.unitPrice > 0) {
    const auto fits = static_cast<std::uint64_t>(delivery_.moneyDose) * 10000 /
                      static_cast<std::uint64_t>(delivery_.unitPrice);
    target = static_cast<std::uint32_t>(std::min<std::uint64_t>(target, fits));
  }
  delivery_.target = target;
  phase_ = Phase::kDelivering;
  flowedUs_ = 0;
  lastUs_ = nowUs;
  if (config_.autoNozzle) {
    nozzleUp_ = true;
  }
  if (target == 0) {
    End(EndReason::kPresetReached);
  }
  return SingleByte(protocol::kAck);
}

Transmission Dispenser::Live(std::uint8_t seqChar) {
  if (phase_ == Phase::kDelivering) {
    if (!nozzleUp_ && delivery_.volume == 0) {
      std::array<std::uint8_t, 1> fields = {'0'};
      return ReplyFrame(seqChar, 'C', fields);
    }
    // D: 3 nozzle, 4..8 volume, 9..14 money in hundredths, 15 spare.
    std::array<std::uint8_t, kFieldsOf(18)> fields{};
    fields[0] = '1';
    DigitsLowFirst(std::span(fields).subspan(kField(kLiveVolumeFirst), kLiveVolumeDigits),
                   delivery_.volume);
    DigitsLowFirst(std::span(fields).subspan(kField(kLiveMoneyFirst), kLiveMoneyDigits),
                   delivery_.MoneyHundredths());
    fields[kField(15)] = '0';
    return ReplyFrame(seqChar, 'D', fields);
  }
  // F (preset reached) or M (stopped early): 3 nozzle, 4..8 volume, 9..14
  // money in thousandths below 1000 (the host restores the thousands from
  // price x volume), 15..18 unit price, 19 start mode.
  std::array<std::uint8_t, kFieldsOf(22)> fields{};
  fields[0] = '1';
  DigitsLowFirst(std::span(fields).subspan(kField(kLiveVolumeFirst), kLiveVolumeDigits),
                 delivery_.volume);
  DigitsLowFirst(std::span(fields).subspan(kField(kLiveMoneyFirst), kLiveMoneyDigits),
                 delivery_.MoneyThousandths() % 1'000'000);
  commands::WriteDecimal(std::span(fields).subspan(kField(15), 4),
                         static_cast<std::uint64_t>(std::max(delivery_.unitPrice, 0)));
  fields[kField(19)] = static_cast<std::uint8_t>('0' + delivery_.mode);
  finalSent_ = phase_ == Phase::kEnded;
  return ReplyFrame(seqChar, delivery_.end == EndReason::kStopped ? 'M' : 'F', fields);
}

Transmission Dispenser::State(std::uint8_t seqChar) const {
  // S: 3..4 wire address characters, 5 nozzle, 6 state, 7..10 unit price of
  // the last start, 11..12 spare.
  std::array<std::uint8_t, kFieldsOf(15)> fields{};
  const auto wire = static_cast<std::uint8_t>(addr_ - 1);
  fields[0] = static_cast<std::uint8_t>('0' + (wire >> 4));
  fields[1] = static_cast<std::uint8_t>('0' + (wire & 0x0F));
  fields[2] = nozzleUp_ ? '1' : '0';
  fields[kField(kStateByte)] = StateChar();
  commands::WriteDecimal(std::span(fields).subspan(kField(7), 4),
                         static_cast<std::uint64_t>(std::max(delivery_.unitPrice, 0)));
  fields[kField(11)] = '0';
  fields[kField(12)] = '0';
  return ReplyFrame(seqChar, 'S', fields);
}

Transmission Dispenser::Totals(std::span<const std::uint8_t> text, std::uint8_t seqChar) const {
  if (!IsDigit(text[1])) {
    return Refuse();
  }
  // T: 3 selector, 4..12 volume counter, 13..21 money counter, both in
  // hundredths and highest digit first, 22 spare.
  const bool ours = text[1] == '0' || text[1] == '1';
  std::array<std::uint8_t, kFieldsOf(25)> fields{};
  fields[0] = text[1];
  commands::WriteDecimal(std::span(fields).subspan(kField(kTotalVolumeFirst), kTotalDigits),
                         ours ? TotalVolume() : 0);
  commands::WriteDecimal(std::span(fields).subspan(kField(kTotalMoneyFirst), kTotalDigits),
                         ours ? TotalMoney() : 0);
  fields[kField(22)] = '0';
  return ReplyFrame(seqChar, 'T', fields);
}

Transmission Dispenser::ReadParam(std::span<const std::uint8_t> text, std::uint8_t seqChar) const {
  if (!AllDigits(text.subspan(1, 2))) {
    return Refuse();
  }
  // p: 3..4 parameter number, 5 spare, 6..7 value, tens first.
  const auto number = static_cast<std::size_t>(Number(text.subspan(1, 2)));
  std::array<std::uint8_t, kFieldsOf(10)> fields{};
  fields[0] = text[1];
  fields[1] = text[2];
  fields[2] = '0';
  commands::WriteDecimal(std::span(fields).subspan(kField(kParamFirst), kParamDigits),
                         params_[number]);
  return ReplyFrame(seqChar, 'p', fields);
}

Transmission Dispenser::WriteParam(std::span<const std::uint8_t> text, std::uint8_t seqChar) {
  if (!AllDigits(text.subspan(1, 4)) || text[3] != text[4] || phase_ == Phase::kDelivering) {
    return Refuse();
  }
  const auto number = static_cast<std::size_t>(Number(text.subspan(1, 2)));
  if (number < kFirstWritableParam) {
    return Refuse();
  }
  params_[number] = static_cast<std::uint8_t>(text[3] - '0');
  // A: 3 the value written.
  std::array<std::uint8_t, 1> fields = {text[3]};
  return ReplyFrame(seqChar, 'A', fields);
}

}  // namespace tarvenix::sim
