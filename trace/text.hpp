// Text for the terminal: the driver's Windows-1251 messages as UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace tarvenix::trace {

// Converts Windows-1251 text to UTF-8. The one unassigned code, 0x98,
// becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view text);

}  // namespace tarvenix::trace
