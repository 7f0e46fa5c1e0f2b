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
    const ReplyCheckHandler check = Instance::Of(self).link.ReplyCheck();
    return check(LowByte(line), std::span(buffer, size), *rxLen, *expectedLen) ? 1 : 0;
  });
}

void TARVENIX_CALL LineInitRoutine(void* self, Word line) {
  Boundary<void>([&] { Instance::Of(self).link.LineInit()(line); });
}

static_assert(std::is_same_v<decltype(&CheckReplyRoutine), routine::ReplyCheck>);
static_assert(std::is_same_v<decltype(&LineInitRoutine), routine::LineInit>);

// The word GetStateRecord does not read, as the driver passes it.
constexpr Word kUnreadWord = 1;

}  // namespace

// --- HostLink

std::int32_t HostLink::FailResult(std::uint32_t line) {
  const auto call = Slot<link_routine::FailResult>(link_slot::kFailResult);
  return HostCall([&] { return call(&host_, line); });
}

void HostLink::SetLineError(std::uint32_t line, std::uint32_t code) {
  const auto call = Slot<link_routine::SetLineError>(link_slot::kSetLineError);
  HostCall([&] { call(&host_, line, code); });
}

void HostLink::SetLineState(std::uint32_t line, std::uint32_t state) {
  const auto call = Slot<link_routine::SetLineState>(link_slot::kSetLineState);
  HostCall([&] { call(&host_, line, state); });
}

std::uint8_t HostLink::GetLineState(std::uint32_t line) {
  const auto call = Slot<link_routine::GetLineState>(link_slot::kGetLineState);
  return HostCall([&] { return call(&host_, line); });
}

std::int32_t HostLink::ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                     std::uint32_t baud) {
  const auto call = Slot<link_routine::ConfigureLine>(link_slot::kConfigureLine);
  return HostCall([&] { return call(&host_, line, setting, baud); });
}

std::int32_t HostLink::Exchange(std::uint32_t line, std::uint32_t port,
                                std::span<const std::uint8_t> request,
                                std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                std::uint8_t mode) {
  // The line service is not told the reply buffer's size: it is 31 bytes,
  // 51 for the parameter commands.
  const auto call = Slot<link_routine::Exchange>(link_slot::kExchange);
  return HostCall([&] {
    return call(&host_, line, port, request.data(), static_cast<Word>(request.size()), reply.data(),
                expectedLen, mode);
  });
}

void HostLink::SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) {
  checkRoutine_.store(handler.routine, std::memory_order_relaxed);
  checkObject_.store(handler.object, std::memory_order_relaxed);
  const auto call = Slot<link_routine::SetReplyCheck>(link_slot::kSetReplyCheck);
  HostCall([&] { call(&host_, line, &CheckReplyRoutine, &driver_); });
}

void HostLink::SetLineInit(std::uint32_t line, LineInitHandler handler) {
  initRoutine_.store(handler.routine, std::memory_order_relaxed);
  initObject_.store(handler.object, std::memory_order_relaxed);
  const auto call = Slot<link_routine::SetLineInit>(link_slot::kSetLineInit);
  HostCall([&] { call(&host_, line, &LineInitRoutine, &driver_); });
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
  const auto call = Current<routine::StopPump>(slot::kStopPump);
  HostCall([&] { call(&object_, line, addr, hostByte); });
}

double BoundDriver::ReadLive(std::int32_t line, std::int32_t addr, double& money) {
  const auto call = Current<routine::ReadLive>(slot::kReadLive);
  return HostCall([&] { return call(&object_, line, addr, &money); });
}

std::uint16_t BoundDriver::PollState(std::uint8_t line, std::uint8_t addr) {
  const auto call = Current<routine::PollState>(slot::kPollState);
  return HostCall([&] { return call(&object_, line, addr); });
}

void BoundDriver::StartPump(std::int32_t line, std::int32_t addr, std::int32_t startMode) {
  const auto call = Current<routine::StartPump>(slot::kStartPump);
  HostCall([&] { call(&object_, line, addr, startMode); });
}

void BoundDriver::GetStateRecord(TStateRecord& record, std::uint8_t line, std::uint8_t addr) {
  const auto call = Current<routine::GetStateRecord>(slot::kGetStateRecord);
  HostCall([&] { call(record.bytes.data(), &object_, line, addr, kUnreadWord); });
}

// --- Instance

Instance::Instance(BinaryObject& hostLink, std::uintptr_t appHandle)
    : object{kOperationTable, this}, link(hostLink, object), driver(object, link, appHandle) {}

}  // namespace tarvenix::library
