// The serial line service over pseudo-terminals, with the test as the peer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <tarvenix/lines/serial_com_link.hpp>
#include <thread>

#include "link/reply_check.hpp"
#include "support/fake_com_link.hpp"

namespace tarvenix::lines {
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
    serialLink.AssignPort(1, settings);
    ASSERT_EQ(serialLink.ConfigureLine(1, 14, 4800), 0);
    serialLink.SetReplyCheck(1, {&Check, &serialLink});
  }
  std::int32_t Poll(std::uint8_t mode = 2) {
    return serialLink.Exchange(1, 1, kPoll, buffer, 25, mode);
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
  SerialComLink serialLink;
  std::array<std::uint8_t, 31> buffer{};
  std::vector<Bytes> received;
};

TEST_F(SerialTest, ACompleteReplyEndsTheReadWithoutWaitingForATimeout) {
  Open({.replyTimeout = 20s, .interByteTimeout = 20s});
  const auto start = std::chrono::steady_clock::now();
  std::thread peer = Peer({MakeReply("S0003000000")});
  EXPECT_EQ(Poll(), 0);  // an S reply is complete at 15 bytes
  peer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(received[0], kPoll);
  EXPECT_EQ(serialLink.GetLineState(1), 1);
  EXPECT_EQ(buffer[2], 'S');
  EXPECT_EQ(serialLink.Stats(1).accepted, 1u);
}

TEST_F(SerialTest, RefusedReplyIsAskedForAgainWithTheSameFrame) {
  Open({.replyTimeout = 2s});
  Bytes garbled = MakeReply("S0003000000");
  garbled[0] = 0x15;
  std::thread peer = Peer({garbled, MakeReply("S0003000000")});
  EXPECT_EQ(Poll(), 0);
  peer.join();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1], kPoll);
  const lines::LinkStats stats = serialLink.Stats(1);
  EXPECT_EQ(stats.rejected223, 1u);
  EXPECT_EQ(stats.retries, 1u);
  EXPECT_EQ(stats.accepted, 1u);
  EXPECT_EQ(stats.exchanges, 1u);
}

TEST_F(SerialTest, TruncatedRepliesEndByTheGapAndStayRefused) {
  Open({.replyTimeout = 2s, .interByteTimeout = 30ms});
  Bytes cut = MakeReply("S0003000000");
  cut.resize(9);
  std::thread peer = Peer({cut, cut});
  EXPECT_EQ(Poll(1), 0);  // bytes came: the driver sees state 3 and NAKs
  peer.join();
  EXPECT_EQ(serialLink.GetLineState(1), 3);
  EXPECT_EQ(serialLink.LineError(1), 219);
  EXPECT_EQ(serialLink.Stats(1).rejected219, 2u);
}

TEST_F(SerialTest, SilencePassesAsNoReplyAfterTheRetries) {
  Open({.replyTimeout = 30ms});
  std::thread peer = Peer({{}, {}});
  EXPECT_EQ(Poll(1), lines::kResultNoReply);
  peer.join();
  EXPECT_EQ(received.size(), 2u);
  EXPECT_EQ(serialLink.GetLineState(1), 0);
  EXPECT_EQ(serialLink.Stats(1).timeouts, 2u);
}

TEST_F(SerialTest, ARefusalIsFinal) {
  Open({.replyTimeout = 2s});
  std::thread peer = Peer({{0x15}});
  EXPECT_EQ(Poll(6), lines::kResultRefused);
  peer.join();
  EXPECT_TRUE(pty.Receive(50ms).empty());  // not sent again
  EXPECT_EQ(serialLink.Stats(1).refused, 1u);
}

TEST_F(SerialTest, AcknowledgementsAreWrittenAndNothingIsRead) {
  Open({.replyTimeout = 20s});
  buffer = {0x06, '0', 'S'};
  EXPECT_EQ(serialLink.Exchange(1, 1, std::span(buffer).first(1), buffer, 0, 0), 0);
  EXPECT_EQ(pty.Receive(), Bytes{0x06});
  EXPECT_EQ(buffer[2], 'S');
  EXPECT_EQ(serialLink.Stats(1).acks, 1u);
}

TEST_F(SerialTest, UnconfiguredLinesRefuseAtOnce) {
  EXPECT_EQ(Poll(), lines::kResultNotOpen);
  EXPECT_EQ(serialLink.ConfigureLine(1, 14, 4800), lines::kResultNotOpen);
  serialLink.AssignPort(1, {.device = "/nonexistent/tty"});
  EXPECT_EQ(serialLink.ConfigureLine(1, 14, 4800), lines::kResultPortFailed);
  EXPECT_EQ(serialLink.ConfigureLine(40, 14, 4800), lines::kResultNoLine);
  serialLink.AssignPort(1, {.device = pty.SlavePath()});
  EXPECT_EQ(serialLink.ConfigureLine(1, 14, 4801), lines::kResultBadSetting);
}

TEST_F(SerialTest, AFailedPortIsReopenedAndTheLineReset) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvenix-serial-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto link = dir / "port";
  std::filesystem::create_symlink(pty.SlavePath(), link);
  Open({.device = link.string(), .replyTimeout = 200ms});

  int resets = 0;
  struct Reset {
    static void Run(void* object, std::uint32_t) { ++*static_cast<int*>(object); }
  };
  serialLink.SetLineInit(1, {&Reset::Run, &resets});

  pty.Close();  // the adapter is unplugged
  EXPECT_EQ(Poll(0), lines::kResultPortFailed);

  Pty replugged;
  std::filesystem::remove(link);
  std::filesystem::create_symlink(replugged.SlavePath(), link);
  std::thread peer([&] {
    received.push_back(replugged.Receive());
    replugged.Send(MakeReply("S0003000000"));
  });
  EXPECT_EQ(Poll(0), 0);
  peer.join();
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(serialLink.Stats(1).reinitialisations, 1u);
  EXPECT_EQ(received[0], kPoll);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarvenix::lines
