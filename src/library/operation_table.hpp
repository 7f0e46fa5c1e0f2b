// The driver object's operation table: 24 slots in a fixed order, the types
// of their routines, and the types of the line service routines the driver
// calls. docs/binary-interface.md is the reference for host authors.
//
// Parameter types, one per stack word: Word for a byte argument or a word
// that is not read, std::int32_t for a 32-bit integer, double for a real
// (two words on 32-bit Windows), a pointer for an address. Results: a byte
// or Boolean as std::uint8_t, the 16-bit state as std::uint16_t, a 32-bit
// integer as std::int32_t, a real as double.
#pragma once

#include <cstddef>
#include <cstdint>

#include "library/abi.hpp"

namespace tarvenix::library {

namespace slot {
inline constexpr std::size_t kAbstract0 = 0;
inline constexpr std::size_t kGetDriverInfo = 1;
inline constexpr std::size_t kSetLinkState = 2;
inline constexpr std::size_t kGetLinkState = 3;
inline constexpr std::size_t kStopPump = 4;
inline constexpr std::size_t kNop5 = 5;
inline constexpr std::size_t kReadLiveRepeated = 6;
inline constexpr std::size_t kReadTotals = 7;
inline constexpr std::size_t kNop8 = 8;
inline constexpr std::size_t kReadLive = 9;
inline constexpr std::size_t kPollState = 10;
inline constexpr std::size_t kSetUnitPrice = 11;
inline constexpr std::size_t kNop12 = 12;
inline constexpr std::size_t kSetDoseVolume = 13;
inline constexpr std::size_t kSetDoseMoney = 14;
inline constexpr std::size_t kStartPump = 15;
inline constexpr std::size_t kInitLine = 16;
inline constexpr std::size_t kReadParam = 17;
inline constexpr std::size_t kWriteParam = 18;
inline constexpr std::size_t kStartPump2 = 19;
inline constexpr std::size_t kQueryCapability = 20;
inline constexpr std::size_t kGetStateRecord = 21;
inline constexpr std::size_t kStopPump2 = 22;
inline constexpr std::size_t kStopPump3 = 23;
inline constexpr std::size_t kCount = 24;
}  // namespace slot

// The driver's routines. `self` is the driver object; GetDriverInfo and
// GetStateRecord take the caller's result address before it.
namespace routine {
using Abstract0 = void(TARVENIX_CALL*)(void* self);
using GetDriverInfo = void(TARVENIX_CALL*)(std::uint8_t* result, void* self);
using SetLinkState = void(TARVENIX_CALL*)(void* self, Word line, Word value);
using GetLinkState = std::uint8_t(TARVENIX_CALL*)(void* self, Word line);
using StopPump = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr,
                                      Word unread);
using Nop5 = void(TARVENIX_CALL*)(void* self, Word);
using ReadLiveRepeated = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr,
                                              double* volume, double* money);
using ReadTotals = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr,
                                        std::int32_t selector, double* volume, double* money, Word,
                                        Word);
using Nop8 = void(TARVENIX_CALL*)(void* self, Word, Word, Word, Word, Word, Word, Word);
using ReadLive = double(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr,
                                        double* money);
using PollState = std::uint16_t(TARVENIX_CALL*)(void* self, Word line, Word addr);
using SetUnitPrice = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr, Word,
                                          Word, Word, double price);
using Nop12 = void(TARVENIX_CALL*)(void* self, Word, Word, Word);
using SetDose = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr, Word, Word,
                                     double dose);
using StartPump = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr,
                                       std::int32_t startMode);
using InitLine = void(TARVENIX_CALL*)(void* self, Word line);
using ReadParam = std::int32_t(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr,
                                               std::int32_t paramNo);
using WriteParam = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr,
                                        std::int32_t paramNo, std::int32_t paramValue);
using StartPump2 = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr,
                                        std::int32_t startMode, Word);
using QueryCapability = std::uint8_t(TARVENIX_CALL*)(void* self, Word kind, std::int32_t* value);
using GetStateRecord = void(TARVENIX_CALL*)(std::uint8_t* record, void* self, Word line, Word addr,
                                            Word);
using StopPumpPassOn = void(TARVENIX_CALL*)(void* self, std::int32_t line, std::int32_t addr, Word,
                                            Word hostByte);

// The handlers the driver gives the line service, called with the object
// that was given with them.
using ReplyCheck = std::uint8_t(TARVENIX_CALL*)(void* self, Word line, const std::uint8_t* buffer,
                                                std::int32_t highIndex, const std::uint8_t* rxLen,
                                                const std::uint8_t* expectedLen);
using LineInit = void(TARVENIX_CALL*)(void* self, Word line);
}  // namespace routine

// The line service's slots that the driver calls, and their routines.
namespace link_slot {
inline constexpr std::size_t kFailResult = 1;
inline constexpr std::size_t kSetLineError = 2;
inline constexpr std::size_t kSetLineState = 3;
inline constexpr std::size_t kGetLineState = 4;
inline constexpr std::size_t kConfigureLine = 17;
inline constexpr std::size_t kExchange = 18;
inline constexpr std::size_t kSetReplyCheck = 19;
inline constexpr std::size_t kSetLineInit = 21;
}  // namespace link_slot

namespace link_routine {
using FailResult = std::int32_t(TARVENIX_CALL*)(void* link, Word line);
using SetLineError = void(TARVENIX_CALL*)(void* link, Word line, Word code);
using SetLineState = void(TARVENIX_CALL*)(void* link, Word line, Word state);
using GetLineState = std::uint8_t(TARVENIX_CALL*)(void* link, Word line);
using ConfigureLine = std::int32_t(TARVENIX_CALL*)(void* link, Word line, Word setting, Word baud);
using Exchange = std::int32_t(TARVENIX_CALL*)(void* link, Word line, Word port,
                                              const std::uint8_t* request, Word requestLen,
                                              std::uint8_t* reply, Word expectedLen, Word mode);
using SetReplyCheck = void(TARVENIX_CALL*)(void* link, Word line, routine::ReplyCheck check,
                                           void* object);
using SetLineInit = void(TARVENIX_CALL*)(void* link, Word line, routine::LineInit init,
                                         void* object);
}  // namespace link_routine

// The driver's table, slot n at index n.
extern const Code kOperationTable[slot::kCount];

}  // namespace tarvenix::library
