#include "tools/serial/serial_com_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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

  const std::uint8_t number;
  std::recursive_mutex mutex;
  PortSettings settings;
  bool assigned = false;
  bool configured = false;  // ConfigureLine has run: the port may be reopened
  std::uint32_t setting = 14;
  std::uint32_t baud = kDefaultBaud;
  int fd = -1;
  std::uint8_t state = 0;
  std::uint8_t error = 0;
  ReplyCheckHandler check{};
  std::optional<LineInitHandler> init;
  LinkStatistics stats;

  void Close() {
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  }
  std::uint32_t Baud() const { return settings.baud.value_or(baud); }
  milliseconds ReplyTimeout() const {
    return settings.replyTimeout.value_or(setting > 0 ? milliseconds(10 * setting)
                                                      : kDefaultReplyTimeout);
  }
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
  const std::uint32_t low = line & 0xFF;
  return low >= 1 && low <= lines_.size() ? lines_[low - 1].get() : nullptr;
}

void SerialComLink::AssignPort(std::uint32_t line, PortSettings settings) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->settings = std::move(settings);
    l->assigned = true;
  }
}

LinkStatistics SerialComLink::Statistics(std::uint32_t line) const {
  Line* l = Find(line);
  if (l == nullptr) {
    return {};
  }
  std::lock_guard lock(l->mutex);
  return l->stats;
}

std::uint8_t SerialComLink::LineError(std::uint32_t line) const {
  Line* l = Find(line);
  if (l == nullptr) {
    return 0;
  }
  std::lock_guard lock(l->mutex);
  return l->error;
}

std::int32_t SerialComLink::FailResult(std::uint32_t) {
  return kRaised;
}

void SerialComLink::SetLineError(std::uint32_t line, std::uint32_t code) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->error = static_cast<std::uint8_t>(code);
  }
}

void SerialComLink::SetLineState(std::uint32_t line, std::uint32_t state) {
  if (Line* l = Find(line)) {
    std::lock_guard lock(l->mutex);
    l->state = static_cast<std::uint8_t>(state);
  }
}

std::uint8_t SerialComLink::GetLineState(std::uint32_t line) {
  Line* l = Find(line);
  if (l == nullptr) {
    return protocol::kLineRejected;
  }
  std::lock_guard lock(l->mutex);
  return l->state;
}

std::int32_t SerialComLink::ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                          std::uint32_t baud) {
  Line* l = Find(line);
  if (l == nullptr) {
    return kNotConfigured;
  }
  std::lock_guard lock(l->mutex);
  if (!l->assigned) {
    return kNotConfigured;
  }
  l->setting = setting;
  l->baud = baud;
  l->configured = true;
  l->Close();
  return Open(*l);
}

std::int32_t SerialComLink::Open(Line& line) {
  line.fd = OpenPort(line.settings, line.Baud());
  return line.fd >= 0 ? 0 : kPortFailed;
}

std::int32_t SerialComLink::Exchange(std::uint32_t line, std::uint32_t /*port*/,
                                     std::span<const std::uint8_t> request,
                                     std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                                     std::uint8_t /*mode*/) {
  Line* l = Find(line);
  if (l == nullptr) {
    return kNotConfigured;
  }
  std::lock_guard lock(l->mutex);
  if (!l->configured) {
    return kNotConfigured;
  }
  if (l->fd < 0) {
    // The port failed earlier: open it again and let the driver reset the
    // line before its command goes out.
    if (Open(*l) != 0) {
      return kPortFailed;
    }
    ++l->stats.reinitialisations;
    if (l->init) {
      (*l->init)(line);
    }
  }
  if (expectedLen == 0) {
    ++l->stats.acknowledgements;
    if (!WriteAll(l->fd, request)) {
      l->Close();
      return kPortFailed;
    }
    return 0;
  }
  ++l->stats.exchanges;
  return CommandExchange(*l, request, reply, expectedLen);
}

std::int32_t SerialComLink::CommandExchange(Line& line, std::span<const std::uint8_t> request,
                                            std::span<std::uint8_t> reply,
                                            std::uint8_t expectedLen) {
  bool lastHadReply = false;
  for (int attempt = 0; attempt <= line.settings.retries; ++attempt) {
    if (attempt > 0) {
      ++line.stats.retries;
    }
    ::tcflush(line.fd, TCIFLUSH);
    if (!WriteAll(line.fd, request)) {
      line.Close();
      return kPortFailed;
    }
    const auto deadline =
        Clock::now() + line.ReplyTimeout() + WireTime(expectedLen, line.Baud(), line.settings);
    const ReadResult read =
        ReadReply(line.fd, reply, expectedLen, deadline, line.settings.interByteTimeout);
    if (read.failed) {
      line.Close();
      return kPortFailed;
    }
    lastHadReply = read.received > 0;
    if (!lastHadReply) {
      ++line.stats.timeouts;
      line.state = protocol::kLineRejected;
      line.error = kErrorNoReply;
      continue;
    }
    const bool accepted =
        line.check.routine != nullptr &&
        line.check(line.number, reply, static_cast<std::uint8_t>(read.received), expectedLen);
    if (accepted) {
      ++line.stats.accepted;
      return 0;
    }
    line.stats.CountRejection(line.error);
  }
  return lastHadReply ? 0 : kNoReply;
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

}  // namespace tarvenix::serial
