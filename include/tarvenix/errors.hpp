// Exceptions raised by the Tarvenix driver.
//
// Failed exchanges with a dispenser raise ESerialIO; an index or value that
// does not fit where the driver must store it raises ERangeError. Both carry
// their message as the driver's own Windows-1251 bytes.
#pragma once

#include <stdexcept>

namespace tarvenix {

// An exchange with a dispenser failed. what() is one of the driver's fixed
// messages (kMessageCantStart, kMessageCantStop, kMessageCantGetState,
// kMessageCommandFailed), byte for byte.
class ESerialIO : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A line, address, character code, buffer index or converted value lies
// outside the range it must fit. Raised before anything is sent or stored.
class ERangeError : public std::out_of_range {
 public:
  ERangeError() : std::out_of_range("Range check error") {}
};

// The failure messages, as Windows-1251 text.
inline constexpr const char* kMessageCantStart = "Can't START POMP";
inline constexpr const char* kMessageCantStop = "Can't STOP POMP";
inline constexpr const char* kMessageCantGetState = "Can't GetSost";
// "Невозможно выполнить команду" (the command cannot be carried out).
inline constexpr const char* kMessageCommandFailed =
    "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xE2\xFB\xEF\xEE\xEB\xED\xE8\xF2\xFC "
    "\xEA\xEE\xEC\xE0\xED\xE4\xF3";

}  // namespace tarvenix
