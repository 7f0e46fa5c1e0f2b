// TComLink: the host's serial line service.
//
// The driver owns no port. The host hands it a TComLink that owns up to 32
// serial lines and performs every exchange of bytes; the driver builds the
// frames, judges the replies through the handler it installs, and keeps what
// it decodes. The driver holds a reference to the service and never frees it.
#pragma once

#include <cstdint>
#include <span>

namespace tarvenix {

// The driver's reply check, bound to the driver object that installed it: a
// routine and its object, the same two words a binary host receives. The line
// service calls it with the bytes received so far; it reports its verdict
// back through SetLineState then SetLineError, and returns true when it
// accepts the reply. It reads nothing outside `buffer`.
struct ReplyCheckHandler {
  using Routine = bool (*)(void* object, std::uint8_t line, std::span<const std::uint8_t> buffer,
                           std::uint8_t rxLen, std::uint8_t expectedLen);

  Routine routine = nullptr;
  void* object = nullptr;

  bool operator()(std::uint8_t line, std::span<const std::uint8_t> buffer, std::uint8_t rxLen,
                  std::uint8_t expectedLen) const {
    return routine(object, line, buffer, rxLen, expectedLen);
  }
  friend bool operator==(const ReplyCheckHandler&, const ReplyCheckHandler&) = default;
};

// The driver's line (re)initialisation: configures the line and resets
// address 1 on it. The line service may call it at any time after it was
// installed, for example when it reopens a port; it may raise ESerialIO.
struct LineInitHandler {
  using Routine = void (*)(void* object, std::uint32_t line);

  Routine routine = nullptr;
  void* object = nullptr;

  void operator()(std::uint32_t line) const { routine(object, line); }
  friend bool operator==(const LineInitHandler&, const LineInitHandler&) = default;
};

// The operations the driver requires of the host's line service, in the
// order of their slots in the binary interface (1, 2, 3, 4, 17, 18, 19, 21).
// `line` is the driver's line number 1..32, passed as a whole word: InitLine
// hands on the word the host gave it unchanged.
class TComLink {
 public:
  // The result SendCommand returns when Exchange or GetLineState raised.
  // Non-zero fails the operation.
  virtual std::int32_t FailResult(std::uint32_t line) = 0;

  // The reply check's error code: 0, 209 (no ETX), 219 (wrong length),
  // 222 (bad check byte) or 223 (bad first byte).
  virtual void SetLineError(std::uint32_t line, std::uint32_t code) = 0;

  // The reply check's verdict: 1 accepted, 3 rejected.
  virtual void SetLineState(std::uint32_t line, std::uint32_t state) = 0;

  // The line state after an exchange: 1 when the installed reply check
  // accepted the reply. The driver copies it into its LinkState table.
  virtual std::uint8_t GetLineState(std::uint32_t line) = 0;

  // Opens or reconfigures the line. The driver always passes 14 and 4800;
  // their meaning belongs to the service. The result is ignored.
  virtual std::int32_t ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                     std::uint32_t baud) = 0;

  // Sends `request` and leaves the reply in `reply` from index 0, having it
  // judged by the installed reply check. `port` carries the line number a
  // second time. Returns 0 on success.
  //
  // The driver uses it two ways: for a command frame (expectedLen 1, 15, 22
  // or 25; mode 0, 2 or 6) and for the single ACK (6) or NAK (21) byte after
  // a reply (expectedLen 0, mode 0; result ignored). The acknowledgement is
  // sent from index 0 of the reply buffer itself, so `request` and `reply`
  // overlap then, and the service must leave `reply` as it was when it
  // receives nothing: it still holds the reply the driver is about to decode.
  virtual std::int32_t Exchange(std::uint32_t line, std::uint32_t port,
                                std::span<const std::uint8_t> request,
                                std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                std::uint8_t mode) = 0;

  // Installs the reply check for the following exchanges on the line. The
  // driver installs it anew before every command.
  virtual void SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) = 0;

  // Installs the line's (re)initialisation handler. It stays in force for
  // the life of the driver object; the driver never withdraws it.
  virtual void SetLineInit(std::uint32_t line, LineInitHandler handler) = 0;

  virtual ~TComLink() = default;
};

}  // namespace tarvenix
