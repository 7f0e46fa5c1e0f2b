#include "library/operation_table.hpp"

#include <cstring>
#include <span>
#include <type_traits>

#include "library/boundary.hpp"
#include "library/driver_object.hpp"

namespace tarvenix::library {
namespace {

// Each routine runs the plain TVM30 operation (a qualified, non-virtual
// call); the operations it calls in turn go through the table (see
// BoundDriver).

TVM30& Driver(void* self) {
  return Instance::Of(self).driver;
}

void TARVENIX_CALL Abstract0(void* /*self*/) {
  Boundary<void>([] { throw EAbstractError(); });
}

void TARVENIX_CALL GetDriverInfo(std::uint8_t* result, void* self) {
  Boundary<void>([&] {
    Driver(self).TVM30::GetDriverInfo(
        std::span<std::uint8_t, kDriverInfoSize>(result, kDriverInfoSize));
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
  Boundary<void>([&] { Driver(self).TVM30::ReadLiveRepeated(line, addr, *volume, *money); });
}

void TARVENIX_CALL ReadTotals(void* self, std::int32_t line, std::int32_t addr,
                              std::int32_t selector, double* volume, double* money, Word, Word) {
  Boundary<void>([&] { Driver(self).TVM30::ReadTotals(line, addr, selector, *volume, *money); });
}

void TARVENIX_CALL Nop8(void* /*self*/, Word, Word, Word, Word, Word, Word, Word) {}

double TARVENIX_CALL ReadLive(void* self, std::int32_t line, std::int32_t addr, double* money) {
  return Boundary<double>([&] { return Driver(self).TVM30::ReadLive(line, addr, *money); });
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
  return Boundary<std::uint8_t>(
      [&]() -> std::uint8_t { return Driver(self).TVM30::QueryCapability(kind, *value) ? 1 : 0; });
}

// The record is the host's: only the bytes the operation writes change.
void TARVENIX_CALL GetStateRecord(std::uint8_t* record, void* self, Word line, Word addr, Word) {
  Boundary<void>([&] {
    TStateRecord copy;
    std::memcpy(copy.bytes.data(), record, copy.bytes.size());
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

// Each routine enters the table through the type its callers use.
template <typename Routine>
Code Entry(Routine routine) {
  return reinterpret_cast<Code>(routine);
}

}  // namespace

const Code kOperationTable[slot::kCount] = {
    Entry<routine::Abstract0>(&Abstract0),
    Entry<routine::GetDriverInfo>(&GetDriverInfo),
    Entry<routine::SetLinkState>(&SetLinkState),
    Entry<routine::GetLinkState>(&GetLinkState),
    Entry<routine::StopPump>(&StopPump),
    Entry<routine::Nop5>(&Nop5),
    Entry<routine::ReadLiveRepeated>(&ReadLiveRepeated),
    Entry<routine::ReadTotals>(&ReadTotals),
    Entry<routine::Nop8>(&Nop8),
    Entry<routine::ReadLive>(&ReadLive),
    Entry<routine::PollState>(&PollState),
    Entry<routine::SetUnitPrice>(&SetUnitPrice),
    Entry<routine::Nop12>(&Nop12),
    Entry<routine::SetDose>(&SetDoseVolume),
    Entry<routine::SetDose>(&SetDoseMoney),
    Entry<routine::StartPump>(&StartPump),
    Entry<routine::InitLine>(&InitLine),
    Entry<routine::ReadParam>(&ReadParam),
    Entry<routine::WriteParam>(&WriteParam),
    Entry<routine::StartPump2>(&StartPump2),
    Entry<routine::QueryCapability>(&QueryCapability),
    Entry<routine::GetStateRecord>(&GetStateRecord),
    Entry<routine::StopPumpPassOn>(&StopPump2),
    Entry<routine::StopPumpPassOn>(&StopPump3),
};

}  // namespace tarvenix::library
