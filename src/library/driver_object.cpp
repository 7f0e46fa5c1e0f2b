#include "library/driver_object.hpp"

#include "library/boundary.hpp"
#include "library/operation_table.hpp"

namespace tarvenix::library {
namespace {

// The handlers as the line service receives them: routine and object words.

std::uint8_t TARVENIX_CALL CheckReplyRoutine(void* self, Word line, const std::uint8_t* buffer,
                                             std::int32_t highIndex, const std::uint8_t* rxLen,
                                             const std::uint8_t* expectedLen) {
  return Boundary<std::uint8_t>([&]() -> std::uint8_t {
    // The check reads nothing beyond the highest index it is given.
    const std::size_t size = highIndex < 0 ? 0 : static_cast<std::size_t>(highIndex) + 1;
    const std::span<const std::uint8_t> received(size == 0 ? buffer : &Checked(buffer), size);
    const ReplyCheckHandler check = Instance::Of(self).link.ReplyCheck();
    return check(LowByte(line), received, Checked(rxLen), Checked(expectedLen)) ? 1 : 0;
  });
}

void TARVENIX_CALL LineInitRoutine(void* self, Word line) {
  Boundary<void>([&] { Instance::Of(self).link.LineInit()(line); });
}

static_assert(std::is_same_v<decltype(&CheckReplyRoutine), TVM30_ReplyCheckHandler>);
static_assert(std::is_same_v<decltype(&LineInitRoutine), TVM30_LineInitHandler>);

// The word GetStateRecord does not read, as the driver passes it.
constexpr Word kUnreadWord = 1;

}  // namespace

// --- HostLink

std::int32_t HostLink::FailResult(std::uint32_t line) {
  return Call<TComLink_FailResult>(TComLink_SLOT_FailResult, line);
}

void HostLink::SetLineError(std::uint32_t line, std::uint32_t code) {
  Call<TComLink_SetLineError>(TComLink_SLOT_SetLineError, line, code);
}

void HostLink::SetLineState(std::uint32_t line, std::uint32_t state) {
  Call<TComLink_SetLineState>(TComLink_SLOT_SetLineState, line, state);
}

std::uint8_t HostLink::GetLineState(std::uint32_t line) {
  return Call<TComLink_GetLineState>(TComLink_SLOT_GetLineState, line);
}

std::int32_t HostLink::ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                     std::uint32_t baud) {
  return Call<TComLink_ConfigureLine>(TComLink_SLOT_ConfigureLine, line, setting, baud);
}

std::int32_t HostLink::Exchange(std::uint32_t line, std::uint32_t port,
                                std::span<const std::uint8_t> request,
                                std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                std::uint8_t mode) {
  // The line service is not told the reply buffer's size: it is 31 bytes,
  // 51 for the parameter commands.
  return Call<TComLink_Exchange>(TComLink_SLOT_Exchange, line, port, request.data(),
                                 static_cast<Word>(request.size()), reply.data(), Word{expectedLen},
                                 Word{mode});
}

void HostLink::SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) {
  checkRoutine_.store(handler.routine, std::memory_order_relaxed);
  checkObject_.store(handler.object, std::memory_order_relaxed);
  Call<TComLink_SetReplyCheck>(TComLink_SLOT_SetReplyCheck, line, &CheckReplyRoutine,
                               static_cast<void*>(&driver_));
}

void HostLink::SetLineInit(std::uint32_t line, LineInitHandler handler) {
  initRoutine_.store(handler.routine, std::memory_order_relaxed);
  initObject_.store(handler.object, std::memory_order_relaxed);
  Call<TComLink_SetLineInit>(TComLink_SLOT_SetLineInit, line, &LineInitRoutine,
                             static_cast<void*>(&driver_));
}

ReplyCheckHandler HostLink::ReplyCheck() const {
  return {checkRoutine_.load(std::memory_order_relaxed),
          checkObject_.load(std::memory_order_relaxed)};
}

LineInitHandler HostLink::LineInit() const {
  return {initRoutine_.load(std::memory_order_relaxed),
          initObject_.load(std::memory_order_relaxed)};
}

// --- BoundDriver

void BoundDriver::StopPump(std::int32_t line, std::int32_t addr, std::uint8_t hostByte) {
  Dispatch<TVM30_StopPump>(
      TVM30_SLOT_StopPump, [&] { TVM30::StopPump(line, addr, hostByte); },
      static_cast<void*>(&object_), line, addr, Word{hostByte});
}

double BoundDriver::ReadLive(std::int32_t line, std::int32_t addr, double& money) {
  return Dispatch<TVM30_ReadLive>(
      TVM30_SLOT_ReadLive, [&] { return TVM30::ReadLive(line, addr, money); },
      static_cast<void*>(&object_), line, addr, &money);
}

std::uint16_t BoundDriver::PollState(std::uint8_t line, std::uint8_t addr) {
  return Dispatch<TVM30_PollState>(
      TVM30_SLOT_PollState, [&] { return TVM30::PollState(line, addr); },
      static_cast<void*>(&object_), Word{line}, Word{addr});
}

void BoundDriver::StartPump(std::int32_t line, std::int32_t addr, std::int32_t startMode) {
  Dispatch<TVM30_StartPump>(
      TVM30_SLOT_StartPump, [&] { TVM30::StartPump(line, addr, startMode); },
      static_cast<void*>(&object_), line, addr, startMode);
}

void BoundDriver::GetStateRecord(TStateRecord& record, std::uint8_t line, std::uint8_t addr) {
  // The binary record and the driver's have the same 16 bytes.
  Dispatch<TVM30_GetStateRecord>(
      TVM30_SLOT_GetStateRecord, [&] { TVM30::GetStateRecord(record, line, addr); },
      reinterpret_cast<::TStateRecord*>(record.bytes.data()), static_cast<void*>(&object_),
      Word{line}, Word{addr}, kUnreadWord);
}

// --- Instance

Instance::Instance(BinaryObject& hostLink, std::uintptr_t appHandle)
    : object{kOperationTable.data(), this},
      link(hostLink, object),
      driver(object, link, appHandle) {}

}  // namespace tarvenix::library
