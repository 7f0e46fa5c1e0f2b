// The driver object a factory returns, and what stands behind it.
//
// The host sees DriverObject: its first word is the address of the
// operation table, which the host may replace with a table of its own (to
// trace or wrap slots and then call the original routines). Behind it, an
// Instance holds the C++ driver and a TComLink that forwards to the host's
// line service object through that object's table.
//
// Operations that call other operations (StartPump2 -> StartPump, StopPump2
// and StopPump3 -> StopPump, GetStateRecord -> PollState, ReadLiveRepeated
// -> ReadLive and GetStateRecord, the follow-up polls of ReadTotals and
// ReadParam) make those calls through the object's table as it stands at the
// time of the call, as a virtual call would: BoundDriver overrides the
// called operations to dispatch through the table, and the table's routines
// run the plain TVM30 operations. A slot that still holds the driver's own
// routine is entered directly, so that a failure leaves as a C++ exception
// and is raised once, by the routine the host called; a routine the host
// installed is called through HostCall.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "library/abi.hpp"
#include "library/boundary.hpp"
#include "library/operation_table.hpp"
#include "tarvenix/com_link.hpp"
#include "tarvenix/tvm30.hpp"

namespace tarvenix::library {

class Instance;

// What the host holds. `table` must stay the first word.
struct DriverObject {
  const Code* table;
  Instance* instance;
};

// TComLink over the host's line service object, calling the slots of its
// table that tarvenix.h lists.
class HostLink final : public TComLink {
 public:
  HostLink(BinaryObject& host, DriverObject& driver) : host_(host), driver_(driver) {}

  std::int32_t FailResult(std::uint32_t line) override;
  void SetLineError(std::uint32_t line, std::uint32_t code) override;
  void SetLineState(std::uint32_t line, std::uint32_t state) override;
  std::uint8_t GetLineState(std::uint32_t line) override;
  std::int32_t ConfigureLine(std::uint32_t line, std::uint32_t setting,
                             std::uint32_t baud) override;
  std::int32_t Exchange(std::uint32_t line, std::uint32_t port,
                        std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                        std::uint8_t expectedLen, std::uint8_t mode) override;
  // The line service receives the binary handler routine and the driver
  // object; the C++ handler is kept here for the routine to call.
  void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) override;
  void SetLineInit(std::uint32_t line, LineInitHandler handler) override;

  // The handlers installed last. The driver installs the same pair each
  // time, from any thread, so each word is kept on its own, atomically.
  ReplyCheckHandler ReplyCheck() const;
  LineInitHandler LineInit() const;

 private:
  // Calls the line service's routine at `slot`, of type `Routine`.
  template <typename Routine, typename... Args>
  auto Call(std::size_t slot, Args... args) {
    const auto routine = SlotOf<Routine>(host_, slot);
    return HostCall([&] { return routine(&host_, args...); });
  }

  BinaryObject& host_;
  DriverObject& driver_;
  std::atomic<ReplyCheckHandler::Routine> checkRoutine_{nullptr};
  std::atomic<void*> checkObject_{nullptr};
  std::atomic<LineInitHandler::Routine> initRoutine_{nullptr};
  std::atomic<void*> initObject_{nullptr};
};

// TVM30 whose internally called operations go through the object's table.
class BoundDriver final : public TVM30 {
 public:
  BoundDriver(DriverObject& object, TComLink& link, std::uintptr_t appHandle)
      : TVM30(link, appHandle), object_(object) {}

  void StopPump(std::int32_t line, std::int32_t addr, std::uint8_t hostByte) override;
  double ReadLive(std::int32_t line, std::int32_t addr, double& money) override;
  std::uint16_t PollState(std::uint8_t line, std::uint8_t addr) override;
  void StartPump(std::int32_t line, std::int32_t addr, std::int32_t startMode) override;
  void GetStateRecord(TStateRecord& record, std::uint8_t line, std::uint8_t addr) override;

 private:
  // Runs `own` when the object's table holds the driver's own routine at
  // `slot`, and otherwise calls the host's routine, of type `Routine`, with
  // `args`. The entry is read once.
  template <typename Routine, typename Own, typename... Args>
  auto Dispatch(std::size_t slot, Own own, Args... args) {
    const Code entry = object_.table[slot];
    if (entry == kOperationTable[slot]) {
      return own();
    }
    const auto routine = reinterpret_cast<Routine>(entry);
    return HostCall([&] { return routine(args...); });
  }

  DriverObject& object_;
};

class Instance {
 public:
  Instance(BinaryObject& hostLink, std::uintptr_t appHandle);
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  static Instance& Of(void* object) { return *static_cast<DriverObject*>(object)->instance; }

  DriverObject object;
  HostLink link;
  BoundDriver driver;
};

}  // namespace tarvenix::library
