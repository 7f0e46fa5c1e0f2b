#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <tarvenix/lines/serial_com_link.hpp>
#include <tarvenix/protocol.hpp>

namespace tarvenix::lines {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t kDefaultBaud = 4800;
constexpr milliseconds kDefaultReplyTimeout{140};
constexpr milliseconds kWriteTimeout{1000};
// A port that cannot be opened is tried again after this, doubling.
constexpr milliseconds kReopenBackoffFirst{1000};
constexpr milliseconds kReopenBackoffMax{30'000};

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

// Bits of one byte on the wire: start bit, data bits, parity, stop bits.
std::uint64_t BitsPerByte(const PortSettings& s) {
  return 1 + static_cast<std::uint64_t>(s.dataBits) + (s.parity == 'N' ? 0 : 1) +
         static_cast<std::uint64_t>(s.stopBits);
}

// Time `bytes` take on the wire.
milliseconds WireTime(std::size_t bytes, std::uint32_t baud, const PortSettings& s) {
  return milliseconds((bytes * BitsPerByte(s) * 1000 + baud - 1) / baud);
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

struct SerialComLink::Port {
  std::uint32_t Baud() const { return settings.baud.value_or(baud); }
  milliseconds ReplyTimeout() const {
    return settings.replyTimeout.value_or(setting > 0 ? milliseconds(10 * setting)
                                                      : kDefaultReplyTimeout);
  }
  // Opens the port; after a failure, not again before the backoff ends,
  // unless `now` is forced.
  bool Open(bool force = false) {
    Close();
    const auto now = Clock::now();
    if (!force && now < nextOpen) {
      return false;
    }
    errno = 0;
    fd = OpenPort(settings, Baud());
    if (fd < 0) {
      osError = errno;
      nextOpen = now + backoff;
      backoff = std::min(backoff * 2, kReopenBackoffMax);
      return false;
    }
    osError = 0;
    backoff = kReopenBackoffFirst;
    nextOpen = {};
    return true;
  }
  void Close() {
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  }

  PortSettings settings;
  bool configured = false;  // ConfigureLine has run: the port may be reopened
  std::uint32_t setting = 14;
  std::uint32_t baud = kDefaultBaud;
  int fd = -1;
  int osError = 0;
  Clock::time_point nextOpen{};
  milliseconds backoff = kReopenBackoffFirst;
};

SerialComLink::SerialComLink() = default;

SerialComLink::~SerialComLink() {
  for (auto& port : ports_) {
    if (port) {
      port->Close();
    }
  }
}

std::uint64_t SerialComLink::NowUs() const {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
}

void SerialComLink::AssignPort(std::uint32_t line, PortSettings settings) {
  if (IsLine(line)) {
    std::lock_guard lock(LineLock(line));
    auto& port = ports_[line - 1];
    if (!port) {
      port = std::make_unique<Port>();
    }
    port->settings = std::move(settings);
  }
  if (IsLine(line)) {
    MatchEcho(line, ports_[line - 1]->settings.matchEcho);
  }
}

std::int32_t SerialComLink::ConfigureLine(std::uint32_t line, std::uint32_t setting,
                                          std::uint32_t baud) {
  if (!IsLine(line)) {
    return lines::kResultNoLine;
  }
  {
    // Reopening the port between a reply and its acknowledgement would
    // lose the acknowledgement.
    const auto lock = LineTurn(line);
    Port* port = ports_[line - 1].get();
    if (port == nullptr) {
      return lines::kResultNotOpen;
    }
    port->setting = setting;
    port->baud = baud;
    port->configured = true;
    if (!port->Open(true)) {
      return SpeedOf(port->Baud()) ? lines::kResultPortFailed : lines::kResultBadSetting;
    }
    Opened(line);
  }
  Notify({.kind = lines::LineEvent::Kind::kConfigured,
          .line = line,
          .timeUs = NowUs(),
          .setting = setting,
          .baud = baud});
  return lines::kResultOk;
}

std::int32_t SerialComLink::Ready(std::uint32_t line) {
  Port* port = ports_[line - 1].get();
  if (port == nullptr || !port->configured) {
    return lines::kResultNotOpen;
  }
  if (port->fd >= 0) {
    return lines::kResultOk;
  }
  if (!port->Open()) {
    return lines::kResultPortFailed;
  }
  Opened(line);
  return lines::kResultOk;
}

bool SerialComLink::Put(std::uint32_t line, std::span<const std::uint8_t> bytes) {
  return WriteAll(ports_[line - 1]->fd, bytes);
}

int SerialComLink::OsError(std::uint32_t line) const {
  const Port* port = ports_[line - 1].get();
  return port != nullptr ? port->osError : 0;
}

lines::PolicyLink::Timing SerialComLink::LineTiming(std::uint32_t line) const {
  const Port* port = ports_[line - 1].get();
  if (port == nullptr) {
    return {};
  }
  const std::uint32_t baud = std::max<std::uint32_t>(port->Baud(), 1);
  return {.byteUs = (BitsPerByte(port->settings) * 1'000'000 + baud - 1) / baud,
          .replyTimeoutUs =
              static_cast<std::uint64_t>(std::chrono::microseconds(port->ReplyTimeout()).count())};
}

void SerialComLink::OnFailure(std::uint32_t line) {
  if (Port* port = ports_[line - 1].get()) {
    port->Close();
  }
}

bool SerialComLink::PrepareReinit(std::uint32_t line) {
  // A port that still cannot be opened fails the command instead.
  Port* port = ports_[line - 1].get();
  if (port == nullptr || !port->configured) {
    return false;
  }
  if (port->fd >= 0) {
    return true;
  }
  if (!port->Open()) {
    return false;
  }
  Opened(line);
  return true;
}

lines::PolicyLink::Collected SerialComLink::Collect(std::uint32_t line,
                                                    std::span<std::uint8_t> reply,
                                                    std::uint8_t expectedLen) {
  Port& port = *ports_[line - 1];
  const auto deadline =
      Clock::now() + port.ReplyTimeout() + WireTime(expectedLen, port.Baud(), port.settings);
  const ReadResult read =
      ReadReply(port.fd, reply, expectedLen, deadline, port.settings.interByteTimeout);
  return {.received = read.received, .failed = read.failed};
}

lines::PolicyLink::Collected SerialComLink::Drain(std::uint32_t line,
                                                  std::span<std::uint8_t> into) {
  return Listen(line, NowUs(), into);
}

lines::PolicyLink::Collected SerialComLink::Listen(std::uint32_t line, std::uint64_t untilUs,
                                                   std::span<std::uint8_t> into) {
  Port& port = *ports_[line - 1];
  const auto deadline = start_ + std::chrono::microseconds(untilUs);
  Collected out;
  std::array<std::uint8_t, 64> spill{};
  for (;;) {
    // Once bytes come, whatever follows within the inter-byte gap belongs
    // to them.
    const int wait = out.received == 0 ? MillisecondsUntil(deadline)
                                       : static_cast<int>(port.settings.interByteTimeout.count());
    pollfd p{port.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready == 0) {
      return out;
    }
    if (ready < 0 || (p.revents & (POLLERR | POLLNVAL)) ||
        ((p.revents & POLLHUP) && !(p.revents & POLLIN))) {
      return {.received = out.received, .failed = true};
    }
    const std::span<std::uint8_t> room =
        out.received < into.size() ? into.subspan(out.received) : std::span(spill);
    const ssize_t n = ::read(port.fd, room.data(), room.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    }
    if (n <= 0) {
      return {.received = out.received, .failed = true};
    }
    out.received += static_cast<std::size_t>(n);
  }
}

}  // namespace tarvenix::lines
