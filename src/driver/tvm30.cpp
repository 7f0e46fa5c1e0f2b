#include "tarvenix/tvm30.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string_view>
#include <thread>

#include "decode/reply_decoder.hpp"
#include "driver/commands.hpp"
#include "driver/conversion.hpp"
#include "driver/extended_precision.hpp"
#include "driver/state.hpp"
#include "link/exchange.hpp"
#include "link/reply_check.hpp"
#include "tarvenix/version.hpp"

namespace tarvenix {
namespace {

using CommandBuffer = std::array<std::uint8_t, protocol::kCommandBufferSize>;
using ParamBuffer = std::array<std::uint8_t, protocol::kParamBufferSize>;

constexpr std::uint32_t kLivePause = 100;     // between the reads of ReadLiveRepeated
constexpr std::uint32_t kFollowUpPause = 10;  // before each follow-up poll
constexpr std::uint32_t kConfigureSetting = 14;
constexpr std::uint32_t kConfigureBaud = 4800;
constexpr std::uint8_t kResetAddr = 1;  // the line reset addresses dispenser 1

// The driver information is fixed text, and its version part must be the
// project's version: a release that changes one without the other does not
// build.
constexpr bool InfoCarriesVersion() {
  constexpr std::string_view versionPart = "v" TARVENIX_VERSION "#";
  for (std::size_t i = 0; i < versionPart.size(); ++i) {
    if (kDriverInfo.at(1 + i) != static_cast<std::uint8_t>(versionPart[i])) {
      return false;
    }
  }
  return true;
}
static_assert(InfoCarriesVersion(), "the driver information must carry the project's version");

bool CheckReplyRoutine(void* object, std::uint8_t line, std::span<const std::uint8_t> buffer,
                       std::uint8_t rxLen, std::uint8_t expectedLen) {
  return link::CheckReply(static_cast<TVM30*>(object)->Link(), line, buffer, rxLen, expectedLen);
}

void OpenLineRoutine(void* object, std::uint32_t line) {
  static_cast<TVM30*>(object)->OpenLine(line);
}

void RealSleep(void* /*context*/, std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint8_t LowByte(std::uint32_t word) {
  return static_cast<std::uint8_t>(word & 0xFF);
}

}  // namespace

Sleeper Sleeper::Real() {
  return {&RealSleep, nullptr};
}

// The exchange steps every dispenser operation is made of.
class TVM30::Exchanges {
 public:
  // Sends the command at the start of `buffer`; the reply comes back into
  // it. A non-zero result of the exchange raises ESerialIO with `failure`.
  static void Send(TVM30& driver, std::uint8_t line, std::uint8_t addr,
                   std::span<std::uint8_t> buffer, protocol::CommandShape shape,
                   const char* failure) {
    const ReplyCheckHandler check{&CheckReplyRoutine, &driver};
    if (link::SendCommand(driver.link_, driver.state_->link, check, line, addr, buffer, shape) !=
        0) {
      throw ESerialIO(failure);
    }
  }

  static bool Accepted(const TVM30& driver, std::uint8_t line) {
    return driver.state_->link.LinkState(line) == protocol::kLineAccepted;
  }

  // Decodes under the line's table lock and returns the state code the
  // reply left, read under the same lock, so that no other thread's write
  // comes between them. The decoder scales live values in extended
  // precision.
  static std::uint8_t Decode(TVM30& driver, std::uint8_t line, std::uint8_t addr,
                             std::span<const std::uint8_t> buffer) {
    const fpu::ExtendedPrecision precision;
    std::lock_guard guard(driver.state_->TableLock(line));
    decode::DecodeReply(driver.state_->dispensers, driver.state_->link, line, addr, buffer);
    return driver.state_->dispensers.At(line, addr).pumpState;
  }

  static std::uint8_t PumpState(const TVM30& driver, std::uint8_t line, std::uint8_t addr) {
    std::lock_guard guard(driver.state_->TableLock(line));
    return driver.state_->dispensers.At(line, addr).pumpState;
  }

  // ACK for an accepted reply, then its decode; NAK for any other.
  static void AcknowledgeThenDecode(TVM30& driver, std::uint32_t lineWord, std::uint8_t addr,
                                    std::span<std::uint8_t> buffer) {
    const std::uint8_t line = LowByte(lineWord);
    const bool accepted = Accepted(driver, line);
    link::Acknowledge(driver.link_, lineWord, buffer, accepted);
    if (accepted) {
      Decode(driver, line, addr, buffer);
    }
  }

  static bool TotalVolumeIsZero(const TVM30& driver, std::uint8_t line, std::uint8_t addr) {
    std::lock_guard guard(driver.state_->TableLock(line));
    return driver.state_->dispensers.At(line, addr).totalVolume == 0;
  }

  // The follow-up polls of ReadTotals and ReadParam: one, and a second while
  // the first totaliser counter is still 0.
  static void FollowUpPolls(TVM30& driver, std::uint8_t line, std::uint8_t addr) {
    driver.Pause(kFollowUpPause);
    driver.PollState(line, addr);
    if (TotalVolumeIsZero(driver, line, addr)) {
      driver.Pause(kFollowUpPause);
      driver.PollState(line, addr);
    }
  }
};

TVM30::TVM30(TComLink& link, std::uintptr_t appHandle, Sleeper sleeper)
    : link_(link), appHandle_(appHandle), sleeper_(sleeper), state_(std::make_unique<State>()) {}

TVM30::~TVM30() = default;

void TVM30::GetDriverInfo(std::span<std::uint8_t, kDriverInfoSize> buffer) {
  std::ranges::copy(kDriverInfo, buffer.begin());
}

void TVM30::SetLinkState(std::uint8_t line, std::uint8_t value) {
  state_->link.SetLinkState(line, value);
}

std::uint8_t TVM30::GetLinkState(std::uint8_t line) {
  return state_->link.LinkState(line);
}

void TVM30::StopPump(std::int32_t line, std::int32_t addr, std::uint8_t /*hostByte*/) {
  const std::uint8_t lineByte = link::CheckedLine(line);
  const std::uint8_t addrByte = link::CheckedAddr(addr);
  CommandBuffer buffer{commands::kStop};
  Exchanges::Send(*this, lineByte, addrByte, buffer, protocol::kStopCommand, kMessageCantStop);
}

void TVM30::ReadLiveRepeated(std::int32_t line, std::int32_t addr, double& volume, double& money) {
  TStateRecord discarded{};
  for (int round = 0; round < 3; ++round) {
    if (round > 0) {
      Pause(kLivePause);
    }
    ReadLive(line, addr, money);
    // ReadLive has checked line and address, so they fit the poll's bytes.
    Pause(kLivePause);
    GetStateRecord(discarded, static_cast<std::uint8_t>(line), static_cast<std::uint8_t>(addr));
  }
  const decode::Dispenser d = state_->DispenserAt(line, addr);
  volume = conversion::ToDouble(d.liveVolume);
  money = conversion::ToDouble(d.liveMoney);
}

void TVM30::ReadTotals(std::int32_t line, std::int32_t addr, std::int32_t selector, double& volume,
                       double& money) {
  money = 0.0;
  volume = 0.0;
  const std::uint8_t lineByte = link::CheckedLine(line);
  const std::uint8_t addrByte = link::CheckedAddr(addr);
  // The counters are cleared under the lock: another thread's ReadTotals of
  // the same dispenser must not clear what this one's reply has just set.
  std::lock_guard lock(state_->LineLock(lineByte));
  {
    std::lock_guard guard(state_->TableLock(lineByte));
    decode::Dispenser& d = state_->dispensers.At(lineByte, addrByte);
    d.totalMoney = 0;
    d.totalVolume = 0;
  }
  CommandBuffer buffer{};
  commands::WriteTotalsRequest(commands::TextOf<protocol::kTotalsRequest>(buffer), selector);
  Exchanges::Send(*this, lineByte, addrByte, buffer, protocol::kTotalsRequest,
                  kMessageCantGetState);
  Exchanges::AcknowledgeThenDecode(*this, lineByte, addrByte, buffer);
  Exchanges::FollowUpPolls(*this, lineByte, addrByte);
  const decode::Dispenser d = state_->DispenserAt(lineByte, addrByte);
  money = conversion::ToDouble(d.totalMoney);
  volume = conversion::ToDouble(d.totalVolume);
}

double TVM30::ReadLive(std::int32_t line, std::int32_t addr, double& money) {
  const std::uint8_t lineByte = link::CheckedLine(line);
  const std::uint8_t addrByte = link::CheckedAddr(addr);
  // Only a started delivery is polled; once an F or M reply has ended it the
  // stored values are final.
  if (Exchanges::PumpState(*this, lineByte, addrByte) == decode::pump_state::kDelivering) {
    CommandBuffer buffer{commands::kLivePoll};
    Exchanges::Send(*this, lineByte, addrByte, buffer, protocol::kLivePoll, kMessageCantGetState);
    Exchanges::AcknowledgeThenDecode(*this, lineByte, addrByte, buffer);
  }
  const decode::Dispenser d = state_->DispenserAt(lineByte, addrByte);
  money = conversion::ToDouble(d.liveMoney);
  return conversion::ToDouble(d.liveVolume);
}

std::uint16_t TVM30::PollState(std::uint8_t line, std::uint8_t addr) {
  link::CheckedLine(line);
  link::CheckedAddr(addr);
  std::lock_guard lock(state_->LineLock(line));
  CommandBuffer buffer{commands::kStatePoll};
  Exchanges::Send(*this, line, addr, buffer, protocol::kStatePoll, kMessageCantGetState);
  const bool accepted = Exchanges::Accepted(*this, line);
  // The state is decoded before the acknowledgement goes out.
  const std::uint8_t pumpState = accepted ? Exchanges::Decode(*this, line, addr, buffer)
                                          : Exchanges::PumpState(*this, line, addr);
  link::Acknowledge(link_, line, buffer, accepted);
  constexpr std::uint16_t kNotRefreshed = 0x0100;
  return accepted ? pumpState : static_cast<std::uint16_t>(kNotRefreshed | pumpState);
}

void TVM30::SetUnitPrice(std::int32_t line, std::int32_t addr, double price) {
  const std::int32_t hundredths = conversion::ScaleToInt32(price, 100);
  std::lock_guard guard(state_->TableLock(line));
  state_->dispensers.At(line, addr).unitPrice = hundredths;
}

void TVM30::SetDoseVolume(std::int32_t line, std::int32_t addr, double volume) {
  const std::int32_t tenths = conversion::ScaleToInt32(volume, 10);
  std::lock_guard guard(state_->TableLock(line));
  state_->DoseAt(line, addr) = {.volume = tenths, .money = 0};
}

void TVM30::SetDoseMoney(std::int32_t line, std::int32_t addr, double money) {
  // Line and address are checked before the value.
  const std::uint8_t lineByte = link::CheckedLine(line);
  const std::uint8_t addrByte = link::CheckedAddr(addr);
  const std::int32_t units = conversion::ScaleToInt32(money, 1);
  std::lock_guard guard(state_->TableLock(lineByte));
  state_->DoseAt(lineByte, addrByte) = {.volume = 0, .money = units};
}

void TVM30::StartPump(std::int32_t line, std::int32_t addr, std::int32_t startMode) {
  const std::uint8_t lineByte = link::CheckedLine(line);
  const std::uint8_t addrByte = link::CheckedAddr(addr);
  const std::uint8_t modeChar = commands::DigitChar(startMode);
  CommandBuffer buffer{};
  {
    std::lock_guard guard(state_->TableLock(lineByte));
    decode::Dispenser& d = state_->dispensers.At(lineByte, addrByte);
    d.liveVolume = 0;
    d.liveMoney = 0;
    const Dose& dose = state_->DoseAt(lineByte, addrByte);
    commands::WriteStart(commands::TextOf<protocol::kStartCommand>(buffer), dose.money, d.unitPrice,
                         dose.volume, modeChar);
  }
  Exchanges::Send(*this, lineByte, addrByte, buffer, protocol::kStartCommand, kMessageCantStart);
  std::lock_guard guard(state_->TableLock(lineByte));
  state_->dispensers.At(lineByte, addrByte).pumpState = decode::pump_state::kDelivering;
}

void TVM30::InitLine(std::uint32_t line) {
  link::CheckedLine(LowByte(line));
  link_.SetLineInit(line, {&OpenLineRoutine, this});
  OpenLine(line);
}

std::int32_t TVM30::ReadParam(std::int32_t line, std::int32_t addr, std::int32_t paramNo) {
  const std::uint8_t lineByte = link::CheckedLine(line);
  const std::uint8_t addrByte = link::CheckedAddr(addr);
  std::lock_guard lock(state_->LineLock(lineByte));
  {
    std::lock_guard guard(state_->TableLock(lineByte));
    state_->dispensers.LineParam(lineByte) = 0;
  }
  ParamBuffer buffer{};
  commands::WriteParamRead(commands::TextOf<protocol::kParamRead>(buffer), paramNo);
  Exchanges::Send(*this, lineByte, addrByte, buffer, protocol::kParamRead, kMessageCommandFailed);
  Exchanges::AcknowledgeThenDecode(*this, lineByte, addrByte, buffer);
  Exchanges::FollowUpPolls(*this, lineByte, addrByte);
  return state_->LineParam(lineByte);
}

void TVM30::WriteParam(std::int32_t line, std::int32_t addr, std::int32_t paramNo,
                       std::int32_t paramValue) {
  const std::uint8_t lineByte = link::CheckedLine(line);
  const std::uint8_t addrByte = link::CheckedAddr(addr);
  ParamBuffer buffer{};
  commands::WriteParamWrite(commands::TextOf<protocol::kParamWrite>(buffer), paramNo, paramValue);
  Exchanges::Send(*this, lineByte, addrByte, buffer, protocol::kParamWrite, kMessageCommandFailed);
  Exchanges::AcknowledgeThenDecode(*this, lineByte, addrByte, buffer);
}

void TVM30::StartPump2(std::int32_t line, std::int32_t addr, std::int32_t startMode) {
  StartPump(line, addr, startMode);
}

bool TVM30::QueryCapability(std::uint32_t kind, std::int32_t& value) {
  if (kind < 1 || kind > 5) {
    return false;
  }
  value = kind == 3 ? 1 : 0;
  return true;
}

void TVM30::GetStateRecord(TStateRecord& record, std::uint8_t line, std::uint8_t addr) {
  const std::uint16_t state = PollState(line, addr);
  record.bytes[1] = static_cast<std::uint8_t>(state >> 8);
  record.bytes[0] = static_cast<std::uint8_t>(state & 0xFF);
  record.bytes[14] = static_cast<std::uint8_t>(record.bytes[0] & 7);
  record.bytes[15] = 0;
}

void TVM30::StopPump2(std::int32_t line, std::int32_t addr, std::uint8_t hostByte) {
  StopPump(line, addr, hostByte);
}

void TVM30::StopPump3(std::int32_t line, std::int32_t addr, std::uint8_t hostByte) {
  StopPump(line, addr, hostByte);
}

std::uint8_t TVM30::PumpStateOf(std::int32_t line, std::int32_t addr) const {
  const std::uint8_t lineByte = link::CheckedLine(line);
  const std::uint8_t addrByte = link::CheckedAddr(addr);
  return state_->dispensers.At(lineByte, addrByte).pumpState;
}

void TVM30::OpenLine(std::uint32_t line) {
  link::CheckedLine(LowByte(line));
  link_.ConfigureLine(line, kConfigureSetting, kConfigureBaud);
  ResetLine(line, kResetAddr);
}

void TVM30::ResetLine(std::uint32_t lineWord, std::uint8_t addr) {
  const std::uint8_t line = link::CheckedLine(LowByte(lineWord));
  CommandBuffer buffer{};
  commands::WriteStateRequest(commands::TextOf<protocol::kStateRequest>(buffer));
  Exchanges::Send(*this, line, addr, buffer, protocol::kStateRequest, kMessageCantGetState);
  const bool accepted = Exchanges::Accepted(*this, line);
  link::Acknowledge(link_, lineWord, buffer, accepted);
  if (accepted) {
    state_->link.RestartSequence(line);
    Exchanges::Decode(*this, line, addr, buffer);
  }
}

}  // namespace tarvenix
