#include "library/operation_table.hpp"

#include <cstring>
#include <span>
#include <utility>

#include "library/boundary.hpp"
#include "library/driver_object.hpp"

namespace tarvenix::library {
namespace {

// Each routine runs the plain TVM30 operation (a qualified, non-virtual
// call); the operations it calls in turn go through the table (see
// BoundDriver). Addresses from the host are checked before anything is
// written.

TVM30& Driver(void* self) {
  return Instance::Of(self).driver;
}

void TARVENIX_CALL Abstract0(void* /*self*/) {
  Boundary<void>([] { throw EAbstractError(); });
}

void TARVENIX_CALL GetDriverInfo(std::uint8_t* result, void* self) {
  Boundary<void>([&] {
    Driver(self).TVM30::GetDriverInfo(
        std::span<std::uint8_t, kDriverInfoSize>(&Checked(result), kDriverInfoSize));
  });
}

void TARVENIX_CALL SetLinkState(void* self, Word line, Word value) {
  Boundary<void>([&] { Driver(self).TVM30::SetLinkState(LowByte(line), LowByte(value)); });
}

std::uint8_t TARVENIX_CALL GetLinkState(void* self, Word line) {
  return Boundary<std::uint8_t>([&] { return Driver(self).TVM30::GetLinkState(LowByte(line)); });
}

void TARVENIX_CALL StopPump(void* self, std::int32_t line, std::int32_t addr, Word hostByte) {
  Boundary<void>([&] { Driver(self).TVM30::StopPump(line, addr, LowByte(hostByte)); });
}

void TARVENIX_CALL Nop5(void* /*self*/, Word) {}

void TARVENIX_CALL ReadLiveRepeated(void* self, std::int32_t line, std::int32_t addr,
                                    double* volume, double* money) {
  Boundary<void>(
      [&] { Driver(self).TVM30::ReadLiveRepeated(line, addr, Checked(volume), Checked(money)); });
}

void TARVENIX_CALL ReadTotals(void* self, std::int32_t line, std::int32_t addr,
                              std::int32_t selector, double* volume, double* money, Word, Word) {
  Boundary<void>([&] {
    Driver(self).TVM30::ReadTotals(line, addr, selector, Checked(volume), Checked(money));
  });
}

void TARVENIX_CALL Nop8(void* /*self*/, Word, Word, Word, Word, Word, Word, Word) {}

double TARVENIX_CALL ReadLive(void* self, std::int32_t line, std::int32_t addr, double* money) {
  return Boundary<double>([&] { return Driver(self).TVM30::ReadLive(line, addr, Checked(money)); });
}

std::uint16_t TARVENIX_CALL PollState(void* self, Word line, Word addr) {
  return Boundary<std::uint16_t>(
      [&] { return Driver(self).TVM30::PollState(LowByte(line), LowByte(addr)); });
}

void TARVENIX_CALL SetUnitPrice(void* self, std::int32_t line, std::int32_t addr, Word, Word, Word,
                                double price) {
  Boundary<void>([&] { Driver(self).TVM30::SetUnitPrice(line, addr, price); });
}

void TARVENIX_CALL Nop12(void* /*self*/, Word, Word, Word) {}

void TARVENIX_CALL SetDoseVolume(void* self, std::int32_t line, std::int32_t addr, Word, Word,
                                 double volume) {
  Boundary<void>([&] { Driver(self).TVM30::SetDoseVolume(line, addr, volume); });
}

void TARVENIX_CALL SetDoseMoney(void* self, std::int32_t line, std::int32_t addr, Word, Word,
                                double money) {
  Boundary<void>([&] { Driver(self).TVM30::SetDoseMoney(line, addr, money); });
}

void TARVENIX_CALL StartPump(void* self, std::int32_t line, std::int32_t addr,
                             std::int32_t startMode) {
  Boundary<void>([&] { Driver(self).TVM30::StartPump(line, addr, startMode); });
}

// The whole word goes on to the line service; the driver reads its low byte.
void TARVENIX_CALL InitLine(void* self, Word line) {
  Boundary<void>([&] { Driver(self).TVM30::InitLine(line); });
}

std::int32_t TARVENIX_CALL ReadParam(void* self, std::int32_t line, std::int32_t addr,
                                     std::int32_t paramNo) {
  return Boundary<std::int32_t>([&] { return Driver(self).TVM30::ReadParam(line, addr, paramNo); });
}

void TARVENIX_CALL WriteParam(void* self, std::int32_t line, std::int32_t addr,
                              std::int32_t paramNo, std::int32_t paramValue) {
  Boundary<void>([&] { Driver(self).TVM30::WriteParam(line, addr, paramNo, paramValue); });
}

void TARVENIX_CALL StartPump2(void* self, std::int32_t line, std::int32_t addr,
                              std::int32_t startMode, Word) {
  Boundary<void>([&] { Driver(self).TVM30::StartPump2(line, addr, startMode); });
}

std::uint8_t TARVENIX_CALL QueryCapability(void* self, Word kind, std::int32_t* value) {
  // A kind the driver does not know writes nothing, so a host may pass no
  // address with it, as it always could.
  return Boundary<std::uint8_t>([&]() -> std::uint8_t {
    std::int32_t answer = 0;
    if (!Driver(self).TVM30::QueryCapability(kind, answer)) {
      return 0;
    }
    Checked(value) = answer;
    return 1;
  });
}

// The record is the host's: only the bytes the operation writes change, and
// only once the poll has succeeded.
void TARVENIX_CALL GetStateRecord(::TStateRecord* record, void* self, Word line, Word addr, Word) {
  Boundary<void>([&] {
    TStateRecord copy;
    std::memcpy(copy.bytes.data(), &Checked(record), copy.bytes.size());
    Driver(self).TVM30::GetStateRecord(copy, LowByte(line), LowByte(addr));
    std::memcpy(record, copy.bytes.data(), copy.bytes.size());
  });
}

void TARVENIX_CALL StopPump2(void* self, std::int32_t line, std::int32_t addr, Word,
                             Word hostByte) {
  Boundary<void>([&] { Driver(self).TVM30::StopPump2(line, addr, LowByte(hostByte)); });
}

void TARVENIX_CALL StopPump3(void* self, std::int32_t line, std::int32_t addr, Word,
                             Word hostByte) {
  Boundary<void>([&] { Driver(self).TVM30::StopPump3(line, addr, LowByte(hostByte)); });
}

static_assert(sizeof(::TStateRecord) == sizeof(TStateRecord));
static_assert(offsetof(::TStateRecord, stateLow) == 14);
static_assert(TARVENIX_DRIVER_INFO_SIZE == kDriverInfoSize);

// The routine of each slot. A slot is named once, by the C header's slot
// constant, with the header's routine type for it: a routine whose signature
// differs from its slot's type, a slot without a routine and a slot given
// twice do not compile.
template <std::size_t Slot>
struct SlotRoutine;

template <typename Routine, Routine address>
struct Is {
  static Code Entry() { return reinterpret_cast<Code>(address); }
};

// The argument is a routine's name, pasted into the slot's names; it is no
// expression to parenthesise.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TARVENIX_SLOT_ROUTINE(name) \
  template <>                       \
  struct SlotRoutine<TVM30_SLOT_##name> : Is<TVM30_##name, &name> {}
// NOLINTEND(bugprone-macro-parentheses)

TARVENIX_SLOT_ROUTINE(Abstract0);
TARVENIX_SLOT_ROUTINE(GetDriverInfo);
TARVENIX_SLOT_ROUTINE(SetLinkState);
TARVENIX_SLOT_ROUTINE(GetLinkState);
TARVENIX_SLOT_ROUTINE(StopPump);
TARVENIX_SLOT_ROUTINE(Nop5);
TARVENIX_SLOT_ROUTINE(ReadLiveRepeated);
TARVENIX_SLOT_ROUTINE(ReadTotals);
TARVENIX_SLOT_ROUTINE(Nop8);
TARVENIX_SLOT_ROUTINE(ReadLive);
TARVENIX_SLOT_ROUTINE(PollState);
TARVENIX_SLOT_ROUTINE(SetUnitPrice);
TARVENIX_SLOT_ROUTINE(Nop12);
TARVENIX_SLOT_ROUTINE(SetDoseVolume);
TARVENIX_SLOT_ROUTINE(SetDoseMoney);
TARVENIX_SLOT_ROUTINE(StartPump);
TARVENIX_SLOT_ROUTINE(InitLine);
TARVENIX_SLOT_ROUTINE(ReadParam);
TARVENIX_SLOT_ROUTINE(WriteParam);
TARVENIX_SLOT_ROUTINE(StartPump2);
TARVENIX_SLOT_ROUTINE(QueryCapability);
TARVENIX_SLOT_ROUTINE(GetStateRecord);
TARVENIX_SLOT_ROUTINE(StopPump2);
TARVENIX_SLOT_ROUTINE(StopPump3);

#undef TARVENIX_SLOT_ROUTINE

template <std::size_t... Slot>
std::array<Code, sizeof...(Slot)> TableOf(std::index_sequence<Slot...>) {
  return {SlotRoutine<Slot>::Entry()...};
}

}  // namespace

const std::array<Code, TVM30_SLOT_COUNT> kOperationTable =
    TableOf(std::make_index_sequence<TVM30_SLOT_COUNT>());

}  // namespace tarvenix::library
