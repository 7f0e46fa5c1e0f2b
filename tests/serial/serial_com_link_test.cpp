// The serial line service over pseudo-terminals, with the test as the peer.
#include "tools/serial/serial_com_link.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "link/reply_check.hpp"
#include "support/fake_com_link.hpp"

namespace tarvenix::serial {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::MakeReply;

// The master side of a pseudo-terminal; the service opens the slave.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(::grantpt(master_), 0);
    EXPECT_EQ(::unlockpt(master_), 0);
    slave_ = ::ptsname(master_);
  }
  ~Pty() { Close(); }
  void Close() {
    if (master_ >= 0) {
      ::close(master_);
      master_ = -1;
    }
  }
  const std::string& SlavePath() const { return slave_; }

  // What the host sent within `wait`.
  Bytes Receive(std::chrono::milliseconds wait = 2000ms) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
      return {};
    }
    Bytes bytes(512);
    const ssize_t n = ::read(master_, bytes.data(), bytes.size());
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
  }
  void Send(const Bytes& bytes) {
    EXPECT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

 private:
  int master_ = -1;
  std::string slave_;
};

bool Check(void* object, std::uint8_t line, std::span<const std::uint8_t> buffer,
           std::uint8_t rxLen, std::uint8_t expectedLen) {
  return link::CheckReply(*static_cast<TComLink*>(object), line, buffer, rxLen, expectedLen);
}

const Bytes kPoll{0x04, 0x30, 0x30, 0x02, 0x31, 0x50, 0x03, 0x60};

struct SerialTest : ::testing::Test {
  void Open(PortSettings settings) {
    settings.device = settings.device.empty() ? pty.SlavePath() : settings.device;
    service.AssignPort(1, settings);
    ASSERT_EQ(service.ConfigureLine(1, 14, 4800), 0);
    service.SetReplyCheck(1, {&Check, &service});
  }
  std::int32_t Poll(std::uint8_t expectedLen = 25) {
    return service.Exchange(1, 1, kPoll, buffer, expectedLen, 2);
  }
  // Answers each frame the host sends with the next of `answers`.
  std::thread Peer(std::vector<Bytes> answers) {
    return std::thread([this, answers] {
      for (const Bytes& answer : answers) {
        received.push_back(pty.Receive());
        if (!answer.empty()) {
          pty.Send(answer);
        }
      }
    });
  }

  Pty pty;
  SerialComLink service;
  std::array<std::uint8_t, 31> buffer{};
  std::vector<Bytes> received;
};

TEST_F(SerialTest, ACompleteReplyEndsTheReadWithoutWaitingForATimeout) {
  Open({.replyTimeout = 20s, .interByteTimeout = 20s});
  const auto start = std::chrono::steady_clock::now();
  std::thread peer = Peer({MakeReply("S0003000000")});
  EXPECT_EQ(Poll(25), 0);  // an S reply is complete at 15 bytes
  peer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(received[0], kPoll);
  EXPECT_EQ(service.GetLineState(1), 1);
  EXPECT_EQ(buffer[2], 'S');
  EXPECT_EQ(service.Statistics(1).accepted, 1u);
}

TEST_F(SerialTest, RefusedReplyIsAskedForAgainWithTheSameFrame) {
  Open({.replyTimeout = 2s, .retries = 2});
  Bytes garbled = MakeReply("S0003000000");
  garbled[0] = 0x15;
  std::thread peer = Peer({garbled, MakeReply("S0003000000")});
  EXPECT_EQ(Poll(), 0);
  peer.join();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1], kPoll);
  const LinkStatistics stats = service.Statistics(1);
  EXPECT_EQ(stats.badFirstByte, 1u);
  EXPECT_EQ(stats.retries, 1u);
  EXPECT_EQ(stats.accepted, 1u);
  EXPECT_EQ(stats.exchanges, 1u);
}

TEST_F(SerialTest, TruncatedRepliesEndByTheGapAndStayRefused) {
  Open({.replyTimeout = 2s, .interByteTimeout = 30ms, .retries = 1});
  Bytes cut = MakeReply("S0003000000");
  cut.resize(9);
  std::thread peer = Peer({cut, cut});
  EXPECT_EQ(Poll(), 0);  // bytes came: the driver sees state 3 and NAKs
  peer.join();
  EXPECT_EQ(service.GetLineState(1), 3);
  EXPECT_EQ(service.LineError(1), 219);
  EXPECT_EQ(service.Statistics(1).wrongLength, 2u);
}

TEST_F(SerialTest, SilencePassesAsNoReplyAfterTheRetries) {
  Open({.replyTimeout = 30ms, .retries = 1});
  std::thread peer = Peer({{}, {}});
  EXPECT_EQ(Poll(), SerialComLink::kNoReply);
  peer.join();
  EXPECT_EQ(received.size(), 2u);
  EXPECT_EQ(service.GetLineState(1), 3);
  EXPECT_EQ(service.LineError(1), SerialComLink::kErrorNoReply);
  EXPECT_EQ(service.Statistics(1).timeouts, 2u);
}

TEST_F(SerialTest, AcknowledgementsAreWrittenAndNothingIsRead) {
  Open({.replyTimeout = 20s});
  buffer = {0x06, '0', 'S'};
  EXPECT_EQ(service.Exchange(1, 1, std::span(buffer).first(1), buffer, 0, 0), 0);
  EXPECT_EQ(pty.Receive(), Bytes{0x06});
  EXPECT_EQ(buffer[2], 'S');
  EXPECT_EQ(service.Statistics(1).acknowledgements, 1u);
}

TEST_F(SerialTest, UnconfiguredLinesRefuseAtOnce) {
  EXPECT_EQ(Poll(), SerialComLink::kNotConfigured);
  EXPECT_EQ(service.ConfigureLine(1, 14, 4800), SerialComLink::kNotConfigured);
  service.AssignPort(1, {.device = "/nonexistent/tty"});
  EXPECT_EQ(service.ConfigureLine(1, 14, 4800), SerialComLink::kPortFailed);
  EXPECT_EQ(service.ConfigureLine(40, 14, 4800), SerialComLink::kNotConfigured);
  service.AssignPort(1, {.device = pty.SlavePath()});
  EXPECT_EQ(service.ConfigureLine(1, 14, 4801), SerialComLink::kPortFailed);  // no such baud
}

TEST_F(SerialTest, AFailedPortIsReopenedAndTheLineReset) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvenix-serial-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto link = dir / "port";
  std::filesystem::create_symlink(pty.SlavePath(), link);
  Open({.device = link.string(), .replyTimeout = 200ms, .retries = 0});

  int resets = 0;
  struct Reset {
    static void Run(void* object, std::uint32_t) { ++*static_cast<int*>(object); }
  };
  service.SetLineInit(1, {&Reset::Run, &resets});

  pty.Close();  // the adapter is unplugged
  EXPECT_EQ(Poll(), SerialComLink::kPortFailed);

  Pty replugged;
  std::filesystem::remove(link);
  std::filesystem::create_symlink(replugged.SlavePath(), link);
  std::thread peer([&] {
    received.push_back(replugged.Receive());
    replugged.Send(MakeReply("S0003000000"));
  });
  EXPECT_EQ(Poll(), 0);
  peer.join();
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(service.Statistics(1).reinitialisations, 1u);
  EXPECT_EQ(received[0], kPoll);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarvenix::serial
