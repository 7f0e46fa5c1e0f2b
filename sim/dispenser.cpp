#include "sim/dispenser.hpp"

#include <algorithm>

#include "sim/request_frame.hpp"

namespace tarvenix::sim {
namespace {

using wire::DigitField;
using wire::IsDigit;

constexpr std::uint64_t kUsPerMinute = 60'000'000;

std::span<const std::uint8_t> FieldOf(std::span<const std::uint8_t> text, DigitField field) {
  return text.subspan(field.first, field.count);
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

std::uint64_t Price(const Delivery& delivery) {
  return static_cast<std::uint64_t>(std::max(delivery.unitPrice, 0));
}

Transmission Refuse() {
  return SingleByte(protocol::kNak);
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
  using namespace wire::start;
  if (phase_ == Phase::kDelivering || text[kZero] != '0' || !AllDigits(FieldOf(text, kMoney)) ||
      !AllDigits(FieldOf(text, kPrice)) || !AllDigits(FieldOf(text, kVolume)) ||
      !IsDigit(text[kMode]) || text[kTail] != 'A') {
    return Refuse();
  }
  // A start while an ended delivery's final reading is still uncollected
  // replaces it: the counters have it already.
  delivery_ = {};
  delivery_.moneyDose = Number(FieldOf(text, kMoney));
  delivery_.unitPrice = Number(FieldOf(text, kPrice));
  delivery_.volumeDose = Number(FieldOf(text, kVolume));
  delivery_.mode = static_cast<std::uint8_t>(text[kMode] - '0');
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
  using namespace wire::live_reply;
  if (phase_ == Phase::kDelivering) {
    if (!nozzleUp_ && delivery_.volume == 0) {
      return ReplyWriter(wire::waiting_reply::kCode, wire::waiting_reply::kLength, seqChar)
          .Sealed();
    }
    return ReplyWriter(kRunning, kRunningLength, seqChar)
        .Put(kNozzle, '1')
        .LowFirst(kVolume, delivery_.volume)
        .LowFirst(kMoney, delivery_.MoneyHundredths())
        .Sealed();
  }
  finalSent_ = phase_ == Phase::kEnded;
  const std::uint8_t code = delivery_.end == EndReason::kStopped ? kStopped : kPresetReached;
  return ReplyWriter(code, kFinalLength, seqChar)
      .Put(kNozzle, '1')
      .LowFirst(kVolume, delivery_.volume)
      .LowFirst(kMoney, delivery_.MoneyThousandths() % 1'000'000)
      .HighFirst(kPrice, Price(delivery_))
      .Put(kMode, static_cast<std::uint8_t>('0' + delivery_.mode))
      .Sealed();
}

Transmission Dispenser::State(std::uint8_t seqChar) const {
  using namespace wire::state_reply;
  const auto wireAddr = static_cast<std::uint8_t>(addr_ - 1);
  return ReplyWriter(kCode, kLength, seqChar)
      .Put(kAddrHigh, static_cast<std::uint8_t>(wire::frame::kAddrCharBase + (wireAddr >> 4)))
      .Put(kAddrLow, static_cast<std::uint8_t>(wire::frame::kAddrCharBase + (wireAddr & 0x0F)))
      .Put(kNozzle, nozzleUp_ ? '1' : '0')
      .Put(kState, StateChar())
      .HighFirst(kPrice, Price(delivery_))
      .Sealed();
}

Transmission Dispenser::Totals(std::span<const std::uint8_t> text, std::uint8_t seqChar) const {
  using namespace wire::totals_reply;
  const std::uint8_t selector = text[1];
  if (!IsDigit(selector)) {
    return Refuse();
  }
  const bool ours = selector == '0' || selector == '1';
  return ReplyWriter(kCode, kLength, seqChar)
      .Put(kSelector, selector)
      .HighFirst(kVolume, ours ? TotalVolume() : 0)
      .HighFirst(kMoney, ours ? TotalMoney() : 0)
      .Sealed();
}

Transmission Dispenser::ReadParam(std::span<const std::uint8_t> text, std::uint8_t seqChar) const {
  using namespace wire::param_reply;
  const auto number = FieldOf(text, wire::param_command::kNumber);
  if (!AllDigits(number)) {
    return Refuse();
  }
  return ReplyWriter(kCode, kLength, seqChar)
      .Put(kNumber.first, number[0])
      .Put(kNumber.first + 1, number[1])
      .HighFirst(kValue, params_[static_cast<std::size_t>(Number(number))])
      .Sealed();
}

Transmission Dispenser::WriteParam(std::span<const std::uint8_t> text, std::uint8_t seqChar) {
  using namespace wire::param_command;
  const std::uint8_t value = text[kValue];
  if (!AllDigits(FieldOf(text, kNumber)) || !IsDigit(value) || value != text[kValueAgain] ||
      phase_ == Phase::kDelivering) {
    return Refuse();
  }
  const auto number = static_cast<std::size_t>(Number(FieldOf(text, kNumber)));
  if (number < kFirstWritableParam) {
    return Refuse();
  }
  params_[number] = static_cast<std::uint8_t>(value - '0');
  return ReplyWriter(wire::written_reply::kCode, wire::written_reply::kLength, seqChar)
      .Put(wire::written_reply::kValue, value)
      .Sealed();
}

}  // namespace tarvenix::sim
