#include "sim/pty_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <filesystem>

namespace tarvenix::sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::uint64_t kBitsPerByte = 10;

void SleepUntil(SteadyClock::time_point when) {
  std::this_thread::sleep_until(when);
}

}  // namespace

PtyServer::PtyServer(SimulatedLine& line, Options options)
    : line_(line),
      options_(std::move(options)),
      byteTime_(std::chrono::nanoseconds(kBitsPerByte * 1'000'000'000 / options_.baud)) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0 || !Make()) {
    device_.clear();
  }
}

PtyServer::~PtyServer() {
  Stop();
  Drop();
  for (int fd : wake_) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  if (!options_.link.empty()) {
    std::error_code ignored;
    std::filesystem::remove(options_.link, ignored);
  }
}

bool PtyServer::Make() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    return false;
  }
  // ptsname_r: servers on other threads may be making their terminals too.
  std::array<char, 128> name{};
  if (::ptsname_r(master_, name.data(), name.size()) != 0) {
    return false;
  }
  device_ = name.data();
  // Keep the far side open in raw mode, so the master never sees a hang-up
  // between the clients that come and go.
  farSide_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (farSide_ < 0 || ::tcgetattr(farSide_, &mode) != 0) {
    return false;
  }
  ::cfmakeraw(&mode);
  ::tcsetattr(farSide_, TCSANOW, &mode);
  if (!options_.link.empty()) {
    std::error_code error;
    std::filesystem::remove(options_.link, error);
    std::filesystem::create_symlink(device_, options_.link, error);
    if (error) {
      return false;
    }
  }
  return true;
}

void PtyServer::Drop() {
  for (int* fd : {&master_, &farSide_}) {
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  }
}

bool PtyServer::Replug() {
  const bool running = thread_.joinable();
  Stop();
  Drop();
  const bool made = Make();
  if (running && made) {
    Start();
  }
  return made;
}

void PtyServer::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

void PtyServer::RequestStop() {
  stop_ = true;
  const std::uint8_t wake = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &wake, 1);
}

void PtyServer::Stop() {
  if (!thread_.joinable()) {
    return;
  }
  RequestStop();
  thread_.join();
  std::uint8_t drain[16];
  while (::read(wake_[0], drain, sizeof drain) > 0) {
  }
}

int PtyServer::Run() {
  Serve();
  return 0;
}

void PtyServer::Serve() {
  std::uint8_t chunk[256];
  while (!stop_) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      continue;
    }
    if (fds[1].revents != 0) {
      continue;  // Stop() woke us
    }
    if (fds[0].revents & (POLLERR | POLLNVAL)) {
      return;
    }
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) {
      continue;
    }
    Paced(std::span(chunk, static_cast<std::size_t>(n)));
  }
}

void PtyServer::Paced(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t byte : bytes) {
    // The byte is in once it has crossed the wire.
    wireFree_ = std::max(wireFree_, SteadyClock::now()) + byteTime_;
    SleepUntil(wireFree_);
    const Transmission reply = line_.Receive(std::span(&byte, 1));
    if (reply.Empty()) {
      continue;
    }
    wireFree_ = std::max(wireFree_, SteadyClock::now()) + std::chrono::microseconds(reply.delayUs);
    for (std::uint8_t out : reply.Bytes()) {
      wireFree_ += byteTime_;
      SleepUntil(wireFree_);
      if (::write(master_, &out, 1) != 1) {
        return;
      }
    }
  }
}

}  // namespace tarvenix::sim
