#include "decode/reply_decoder.hpp"

#include "decode/digits.hpp"
#include "link/protocol.hpp"
#include "link/range.hpp"

namespace tarvenix::decode {
namespace {

using namespace reply_layout;

// The highest index each reply code reads.
std::size_t LastFieldIndex(std::uint8_t code) {
  switch (code) {
    case 'S':
      return kStateByte;
    case 'p':
      return kParamFirst + kParamDigits - 1;
    case 'D':
    case 'F':
    case 'M':
      return kLiveMoneyFirst + kLiveMoneyDigits - 1;
    case 'T':
      return kTotalMoneyFirst + kTotalDigits - 1;
    default:
      return protocol::kReplyCodeIndex;
  }
}

// D, F and M: volume and money in hundredths. F and M carry the money in
// thousandths and only below 1000 money units, so a second division by 10
// follows and the whole thousands come back from price x volume. The 1e-6
// counts an amount that the division puts just below a whole thousand as
// that thousand.
void DecodeLive(Dispenser& d, std::span<const std::uint8_t> reply, bool thousandths) {
  d.liveVolume = DigitsLowFirst(reply.subspan(kLiveVolumeFirst, kLiveVolumeDigits));
  d.liveMoney = DigitsLowFirst(reply.subspan(kLiveMoneyFirst, kLiveMoneyDigits));
  d.liveVolume = d.liveVolume / 100;
  d.liveMoney = d.liveMoney / 100;
  if (!thousandths) {
    return;
  }
  d.liveMoney = d.liveMoney / 10;
  const Extended amount = static_cast<Extended>(d.unitPrice) * d.liveVolume;  // hundredths
  if (amount >= 100000) {
    const auto thousands = static_cast<std::int64_t>(amount / 100000 + 0.000001L);
    d.liveMoney = static_cast<Extended>(thousands * 1000) + d.liveMoney;
  }
}

// The two low bits of an S reply's state byte; 2 leaves the state alone.
void DecodeState(Dispenser& d, std::uint8_t stateByte) {
  switch (stateByte & 0x03) {
    case 0:
      d.pumpState = pump_state::kIdle;
      break;
    case 1:
      d.pumpState = pump_state::kReady;
      break;
    case 3:
      d.pumpState = pump_state::kDelivering;
      break;
    default:
      break;
  }
}

}  // namespace

void DecodeReply(DispenserTables& dispensers, link::LinkTables& link, std::uint8_t line,
                 std::uint8_t addr, std::span<const std::uint8_t> reply) {
  Dispenser& d = dispensers.At(line, addr);
  if (reply.size() <= protocol::kReplyCodeIndex) {
    link::ThrowRangeError();
  }
  const std::uint8_t code = reply[protocol::kReplyCodeIndex];
  if (reply.size() <= LastFieldIndex(code)) {
    link::ThrowRangeError();
  }

  switch (code) {
    case 'A':
      d.pumpState = pump_state::kReady;
      break;
    case 'C':
      if (d.pumpState != pump_state::kIdle && d.pumpState != pump_state::kHeld &&
          d.pumpState != pump_state::kDelivering && d.pumpState != pump_state::kReady) {
        d.pumpState = pump_state::kIdle;
      }
      break;
    case 'D':
      // Once an F or M reply has ended the delivery, late D replies would
      // overwrite its final values.
      if (d.pumpState != pump_state::kIdle) {
        DecodeLive(d, reply, false);
      }
      break;
    case 'F':
    case 'M':
      d.pumpState = pump_state::kIdle;
      DecodeLive(d, reply, true);
      break;
    case 'S':
      // An S reply from any address restarts the sequence of address 1.
      link.RestartSequence(line);
      DecodeState(d, reply[kStateByte]);
      break;
    case 'T':
      d.totalVolume = DigitsHighFirst(reply.subspan(kTotalVolumeFirst, kTotalDigits));
      d.totalMoney = DigitsHighFirst(reply.subspan(kTotalMoneyFirst, kTotalDigits));
      break;
    case 'p': {
      const int value = (reply[kParamFirst] - protocol::kDigitZero) * 10 +
                        (reply[kParamFirst + 1] - protocol::kDigitZero);
      dispensers.LineParam(line) = link::CheckedByte(value);
      break;
    }
    default:
      break;
  }
}

}  // namespace tarvenix::decode
