#include "serial/serial_com_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "link/protocol.hpp"

namespace tarvenix::serial {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t kDefaultBaud = 4800;
constexpr milliseconds kDefaultReplyTimeout{140};
constexpr milliseconds kWriteTimeout{1000};

std::optional<speed_t> SpeedOf(std::uint32_t baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return std::nullopt;
  }
}

// Time `bytes` take on the wire: start bit, data bits, parity, stop bits.
milliseconds WireTime(std::size_t bytes, std::uint32_t baud, const PortSettings& s) {
  const std::uint64_t bitsPerByte = 1 + static_cast<std::uint64_t>(s.dataBits) +
                                    (s.parity == 'N' ? 0 : 1) +
                                    static_cast<std::uint64_t>(s.stopBits);
  return milliseconds((bytes * bitsPerByte * 1000 + baud - 1) / baud);
}

int OpenPort(const PortSettings& s, std::uint32_t baud) {
  const auto speed = SpeedOf(baud);
  if (!speed || s.dataBits < 5 || s.dataBits > 8) {
    return -1;
  }
  const int fd = ::open(s.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    return -1;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[s.dataBits - 5] | CLOCAL | CREAD;
  if (s.parity != 'N') {
    tio.c_cflag |= PARENB | (s.parity == 'O' ? PARODD : 0);
  }
  if (s.stopBits == 2) {
    tio.c_cflag |= CSTOPB;
  }
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, *speed) != 0 || ::cfsetospeed(&tio, *speed) != 0 ||
      ::tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<milliseconds::rep>(0, left.count()));
}

// Writes every byte or fails.
bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  const auto deadline = Clock::now() + kWriteTimeout;
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, MillisecondsUntil(deadline)) <= 0 || (p.revents & (POLLERR | POLLHUP))) {
      return false;
    }
  }
  return ::tcdrain(fd) == 0;
}

// Whether the bytes so far form a whole reply: the expected length, or the
// length the reply code implies.
bool Complete(std::span<const std::uint8_t> received, std::uint8_t expectedLen) {
  if (received.size() == expectedLen) {
    return true;
  }
  return received.size() > protocol::kReplyCodeIndex &&
         received.size() == protocol::ImpliedReplyLength(received[protocol::kReplyCodeIndex]);
}

struct ReadResult {
  std::size_t received = 0;
  bool failed = false;  // the port reported an error or hung up
};

ReadResult ReadReply(int fd, std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                     Clock::time_point deadline, milliseconds interByte) {
  ReadResult result;
  while (result.received < reply.size()) {
    int wait = MillisecondsUntil(deadline);
    if (result.received > 0) {
      wait = std::min(wait, static_cast<int>(interByte.count()));
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready == 0) {
      break;
    }
    if (ready < 0 || (p.revents & (POLLERR | POLLNVAL)) ||
        ((p.revents & POLLHUP) && !(p.revents & POLLIN))) {
      result.failed = true;
      break;
    }
    const ssize_t n = ::read(fd, reply.data() + result.received, reply.size() - result.received);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    }
    if (n <= 0) {
      result.failed = true;
      break;
    }
    result.received += static_cast<std::size_t>(n);
    if (Complete(reply.first(result.received), expectedLen)) {
      break;
    }
  }
  return result;
}

}  // namespace

struct SerialComLink::Line {
  explicit Line(std::uint8_t n) : number(n) {}

  std::uint32_t Baud() const { return settings.baud.value_or(baud); }
  milliseconds ReplyTimeout() const {
    return settings.replyTimeout.value_or(setting > 0 ? milliseconds(10 * setting)
                                                      : kDefaultReplyTimeout);
  }
  bool Open() {
    Close();
    fd = OpenPort(settings, Baud());
    return fd >= 0;
  }
  void Close() {
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  }
  // The port failed: it is closed, and the next exchange opens it again and
  // re-initialises the line.
  std::int32_t Fail() {
    Close();
    reinitPending = true;
    failureRun = 0;
    return service::kResultPortFailed;
  }

  const std::uint8_t number;
  mutable std::mutex mutex;  // one exchange at a time
  PortSettings settings;
  bool assigned = false;
  bool configured = false;  // ConfigureLine has run: the port may be reopened
  std::uint32_t setting = 14;
  std::uint32_t baud = kDefaultBaud;
  int fd = -1;
  ReplyCheckHandler check{};
  LineInitHandler init{};
  std::uint32_t failureRun = 0;
  bool reinitPending = false;
  service::LinkStats stats;
  // Written by the reply check while an exchange holds `mutex`.
  std::atomic<std::uint8_t> state{protocol::kLineAccepted};
  std::atomic<std::uint32_t> error{0};
};

SerialComLink::SerialComLink() {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    lines_[i] = std::make_unique<Line>(static_cast<std::uint8_t>(i + 1));
  }
}

SerialComLink::~SerialComLink() {
  for (auto& line : lines_) {
    line->Close();
  }
}

SerialComLink::Line* SerialComLink::Find(std::uint32_t line) const {
  return line >= 1 && line <= lines_.size() ? lines_[line - 1].get() : nullptr;
}

std::uint64_t SerialComLink::NowUs() const {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
}

void SerialComLink::Notify(const service::LineEvent& event) const {
  if (monitor_ != nullptr) {
    monitor_->OnLineEvent(event);
  }
}

void SerialComLink::AssignPort(std::uint32_t line, PortSettings settings) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->settings = std::move(settings);
    l->assigned = true;
  }
}

service::LinkStats SerialComLink::Stats(std::uint32_t line) const {
  const Line* l = Find(line);
  if (l == nullptr) {
    return {};
  }
  std::lock_guard lock(l->mutex);
  return l->stats;
}

std::uint32_t SerialComLink::LineError(std::uint32_t line) const {
  const Line* l = Find(line);
  return l != nullptr ? l->error.load(std::memory_order_relaxed) : 0;
}

std::int32_t SerialComLink::FailResult(std::uint32_t) {
  return service::kResultFault;
}

void SerialComLink::SetLineError(std::uint32_t line, std::uint32_t code) {
  if (Line* l = Find(line)) {
    l->error.store(code, std::memory_order_relaxed);
  }
}

void SerialComLink::SetLineState(std::uint32_t line, std::uint32_t state) {
  if (Line* l = Find(line)) {
    l->state.store(static_cast<std::uint8_t>(state), std::memory_order_relaxed);
  }
}

std::uint8_t SerialComLink::GetLineState(std::uint32_t line) {
  const Line* l = Find(line);
  return l != nullptr ? l->state.load(std::memory_order_relaxed) : 0;
}

std::int32_t SerialComLink::ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                          std::uint32_t baud) {
  Line* l = Find(line);
  if (l == nullptr) {
    return service::kResultNoLine;
  }
  {
    std::lock_guard lock(l->mutex);
    if (!l->assigned) {
      return service::kResultNotOpen;
    }
    l->setting = setting;
    l->baud = baud;
    l->configured = true;
    if (!l->Open()) {
      return SpeedOf(l->Baud()) ? service::kResultPortFailed : service::kResultBadSetting;
    }
  }
  Notify({.kind = service::LineEvent::Kind::kConfigured,
          .line = line,
          .timeUs = NowUs(),
          .setting = setting,
          .baud = baud});
  return service::kResultOk;
}

void SerialComLink::SetReplyCheck(std::uint32_t line, ReplyCheckHandler handler) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->check = handler;
  }
}

void SerialComLink::SetLineInit(std::uint32_t line, LineInitHandler handler) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->init = handler;
  }
}

std::int32_t SerialComLink::Exchange(std::uint32_t line, std::uint32_t /*port*/,
                                     std::span<const std::uint8_t> request,
                                     std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                     std::uint8_t mode) {
  Line* l = Find(line);
  if (l == nullptr) {
    return service::kResultNoLine;
  }
  if (expectedLen == protocol::kAckExpectedLen) {
    std::lock_guard lock(l->mutex);
    if (!l->configured) {
      return service::kResultNotOpen;
    }
    if (l->fd < 0) {
      return service::kResultPortFailed;
    }
    l->stats.CountAcknowledgement(request);
    Notify({.kind = service::LineEvent::Kind::kSent,
            .line = line,
            .timeUs = NowUs(),
            .bytes = request});
    return WriteAll(l->fd, request) ? service::kResultOk : l->Fail();
  }
  ReinitialiseIfDue(*l);
  return Command(*l, request, reply, expectedLen, mode);
}

void SerialComLink::ReinitialiseIfDue(Line& line) {
  LineInitHandler handler;
  {
    std::lock_guard lock(line.mutex);
    if (!line.reinitPending || (line.fd < 0 && !line.Open())) {
      return;  // a port that still cannot be opened fails the command
    }
    line.reinitPending = false;
    line.failureRun = 0;
    ++line.stats.reinitialisations;
    handler = line.init;
  }
  Notify({.kind = service::LineEvent::Kind::kReinit, .line = line.number, .timeUs = NowUs()});
  if (handler.routine == nullptr) {
    return;
  }
  // The handler runs the driver's own exchanges on this line, so the lock
  // is not held here.
  try {
    handler(line.number);
  } catch (const std::exception&) {
    // The failure shows in the handler's own exchanges; the caller's
    // exchange goes ahead.
  }
}

std::int32_t SerialComLink::Command(Line& line, std::span<const std::uint8_t> request,
                                    std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                    std::uint8_t mode) {
  std::lock_guard lock(line.mutex);
  if (!line.configured) {
    return service::kResultNotOpen;
  }
  if (line.fd < 0 && !line.Open()) {
    return line.Fail();
  }
  ++line.stats.exchanges;
  std::int32_t result = service::kResultNoReply;
  for (std::uint32_t attempt = 0; attempt < service::Attempts(mode); ++attempt) {
    if (attempt > 0) {
      ++line.stats.retries;
    }
    const auto attemptNo = static_cast<std::uint8_t>(attempt);
    line.state.store(0, std::memory_order_relaxed);
    line.error.store(0, std::memory_order_relaxed);
    ::tcflush(line.fd, TCIFLUSH);
    Notify({.kind = service::LineEvent::Kind::kSent,
            .line = line.number,
            .timeUs = NowUs(),
            .bytes = request,
            .attempt = attemptNo,
            .expectedLen = expectedLen});
    if (!WriteAll(line.fd, request)) {
      return line.Fail();
    }
    const auto deadline =
        Clock::now() + line.ReplyTimeout() + WireTime(expectedLen, line.Baud(), line.settings);
    const ReadResult read =
        ReadReply(line.fd, reply, expectedLen, deadline, line.settings.interByteTimeout);
    if (read.failed) {
      return line.Fail();
    }
    if (read.received == 0) {
      ++line.stats.timeouts;
      Notify({.kind = service::LineEvent::Kind::kTimeout,
              .line = line.number,
              .timeUs = NowUs(),
              .attempt = attemptNo});
      result = service::kResultNoReply;
      continue;
    }
    const auto rxLen = static_cast<std::uint8_t>(std::min<std::size_t>(read.received, 255));
    bool accepted = true;
    if (line.check.routine != nullptr) {
      accepted = line.check(line.number, reply, rxLen, expectedLen);
    } else {
      line.state.store(protocol::kLineAccepted, std::memory_order_relaxed);
    }
    Notify({.kind = service::LineEvent::Kind::kReceived,
            .line = line.number,
            .timeUs = NowUs(),
            .bytes = reply.first(rxLen),
            .attempt = attemptNo,
            .expectedLen = expectedLen,
            .lineState = line.state.load(std::memory_order_relaxed),
            .lineError = line.error.load(std::memory_order_relaxed)});
    if (accepted) {
      ++line.stats.accepted;
      line.failureRun = 0;
      return service::kResultOk;
    }
    if (service::IsRefusal(reply.first(rxLen))) {
      ++line.stats.refused;
      line.failureRun = 0;
      return service::kResultRefused;
    }
    line.stats.CountRejection(line.error.load(std::memory_order_relaxed));
    result = service::kResultOk;  // judged: the line state says rejected
  }
  if (++line.failureRun >= service::kFailuresBeforeReinit) {
    line.reinitPending = true;
  }
  return result;
}

}  // namespace tarvenix::serial
