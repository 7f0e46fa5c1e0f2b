#include "cli/operations.hpp"

#include <fmt/color.h>
#include <fmt/core.h>

#include <algorithm>
#include <cmath>
#include <tarvenix/protocol.hpp>

#include "trace/text.hpp"

namespace tarvenix::cli {
namespace {

constexpr std::uint64_t kUsPerSecond = 1'000'000;
constexpr std::uint32_t kFollowPauseMs = 100;
constexpr int kBarWidth = 30;
constexpr int kMaxFailedReads = 10;

std::string_view StateName(std::uint8_t state) {
  namespace pump_state = protocol::pump_state;
  switch (state) {
    case pump_state::kUnknown:
      return "unknown";
    case pump_state::kIdle:
      return "idle";
    case pump_state::kHeld:
      return "held";
    case pump_state::kDelivering:
      return "delivering";
    case pump_state::kReady:
      return "ready, nozzle lifted";
    default:
      return "unrecognised";
  }
}

std::string Heading(const Output& out, std::string_view text) {
  if (out.colour) {
    return fmt::format(fmt::emphasis::bold, "{}", text);
  }
  return std::string(text);
}

std::string Bar(double fraction, const Output& out) {
  const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * kBarWidth + 1e-9);
  std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(kBarWidth - filled), '.');
  if (out.colour) {
    bar = fmt::format(fg(fmt::color::green), "{}", bar);
  }
  return "[" + bar + "]";
}

// Follows a started delivery until the driver has its final reading.
struct Followed {
  double volume = 0;
  double money = 0;
  bool finished = false;
};

Followed Follow(Session& session, double target, bool byMoney, double price, const Output& out) {
  TVM30& driver = session.Driver();
  const auto line = static_cast<std::uint8_t>(session.LineNo());
  const auto addr = static_cast<std::uint8_t>(session.Addr());
  const auto flow = session.Options().forecourt.flowPerMinute / 100.0;
  // Long enough for the delivery at its flow, and a margin.
  const double volume = byMoney ? target / std::max(price, 0.01) : target;
  const double expectedSeconds = volume / std::max(flow, 0.01) * 60.0;
  const std::uint64_t deadline =
      session.Clock().NowUs() + static_cast<std::uint64_t>((expectedSeconds * 2 + 30) * 1e6);
  Followed f;
  int failures = 0;
  int lastQuarter = -1;
  while (session.Clock().NowUs() < deadline) {
    try {
      f.volume = driver.ReadLive(line, addr, f.money);
      const std::uint8_t state = static_cast<std::uint8_t>(driver.PollState(line, addr) & 0xFF);
      failures = 0;
      f.finished = state != protocol::pump_state::kDelivering;
    } catch (const ESerialIO& e) {
      if (++failures > kMaxFailedReads) {
        throw;
      }
      fmt::print(out.out, "{}  reading failed ({}), trying again\n", out.colour ? "\n" : "",
                 trace::Cp1251ToUtf8(e.what()));
      session.Clock().Wait(kFollowPauseMs * 1000);
      continue;
    }
    const double fraction = target > 0 ? (byMoney ? f.money : f.volume) / target : 0;
    const std::string progress =
        fmt::format("  {} {:8.2f} volume {:9.2f} money", Bar(fraction, out), f.volume, f.money);
    if (out.colour) {
      fmt::print(out.out, "\r{}", progress);
      std::fflush(out.out);
    } else {
      const int quarter = static_cast<int>(fraction * 4 + 1e-9);
      if (quarter != lastQuarter || f.finished) {
        fmt::print(out.out, "{}\n", progress);
        lastQuarter = quarter;
      }
    }
    if (f.finished) {
      break;
    }
    session.Clock().Wait(kFollowPauseMs * 1000);
  }
  if (out.colour) {
    fmt::print(out.out, "\n");
  }
  return f;
}

bool Demo(Session& session, const Step& step, const Output& out) {
  TVM30& driver = session.Driver();
  const std::int32_t line = static_cast<std::int32_t>(session.LineNo());
  const std::int32_t addr = session.Addr();
  const bool byMoney = step.money >= 0;
  const double target = byMoney ? step.money : (step.volume >= 0 ? step.volume : 25.0);

  fmt::print(
      out.out, "{}\n",
      Heading(out, fmt::format("Tarvenix demo: line {}, dispenser {} "
                               "(simulated, {:g} volume units a minute)",
                               line, addr, session.Options().forecourt.flowPerMinute / 100.0)));
  session.Open();
  const auto stateBefore = static_cast<std::uint8_t>(
      driver.PollState(static_cast<std::uint8_t>(line), static_cast<std::uint8_t>(addr)) & 0xFF);
  fmt::print(out.out, "  line opened, dispenser state {} ({})\n", stateBefore,
             StateName(stateBefore));

  driver.SetUnitPrice(line, addr, step.price);
  if (byMoney) {
    driver.SetDoseMoney(line, addr, target);
  } else {
    driver.SetDoseVolume(line, addr, target);
  }
  fmt::print(out.out, "  unit price {:.2f}, preset {:.2f} {}\n", step.price, target,
             byMoney ? "money" : "volume units");

  double volumeBefore = 0;
  double moneyBefore = 0;
  driver.ReadTotals(line, addr, 1, volumeBefore, moneyBefore);
  driver.StartPump(line, addr, step.mode);
  fmt::print(out.out, "  started\n");
  const Followed f = Follow(session, target, byMoney, step.price, out);
  if (!f.finished) {
    fmt::print(stderr, "tarvenix: error: demo: the delivery did not end in time\n");
    return false;
  }
  double volumeAfter = 0;
  double moneyAfter = 0;
  driver.ReadTotals(line, addr, 1, volumeAfter, moneyAfter);
  // A free parameter, written and read back.
  constexpr int kDemoParam = 20;
  constexpr int kDemoValue = 7;
  driver.WriteParam(line, addr, kDemoParam, kDemoValue);
  const std::int32_t paramValue = driver.ReadParam(line, addr, kDemoParam);

  // The counters run in hundredths.
  const double countedVolume = (volumeAfter - volumeBefore) / 100.0;
  const double countedMoney = (moneyAfter - moneyBefore) / 100.0;
  const bool volumeMatches = std::abs(countedVolume - f.volume) < 0.005;
  const bool moneyMatches = std::abs(countedMoney - f.money) < 0.01;
  const bool presetMatches = byMoney ? f.money <= target + 1e-9 && f.money > target - 1
                                     : std::abs(f.volume - target) < 0.005;

  fmt::print(out.out, "{}\n", Heading(out, "Delivery"));
  fmt::print(out.out, "  volume            {:.2f}\n", f.volume);
  fmt::print(out.out, "  money             {:.3f}\n", f.money);
  fmt::print(out.out, "  preset reached    {}\n", presetMatches ? "yes" : "NO");
  fmt::print(out.out, "{}\n", Heading(out, "Totaliser counters (hundredths)"));
  fmt::print(out.out, "  volume            {:.0f} -> {:.0f}  (+{:.2f})\n", volumeBefore,
             volumeAfter, countedVolume);
  fmt::print(out.out, "  money             {:.0f} -> {:.0f}  (+{:.2f})\n", moneyBefore, moneyAfter,
             countedMoney);
  fmt::print(out.out, "  match delivery    {}\n", volumeMatches && moneyMatches ? "yes" : "NO");
  fmt::print(out.out, "{}\n", Heading(out, "Parameter"));
  fmt::print(out.out, "  {} written {}, read back {}\n", kDemoParam, kDemoValue, paramValue);
  PrintStats(session, out);
  if (!(volumeMatches && moneyMatches && presetMatches && paramValue == kDemoValue)) {
    fmt::print(stderr, "tarvenix: error: demo: the delivery, counters or parameter do not match\n");
    return false;
  }
  fmt::print(out.out, "demo finished\n");
  return true;
}

}  // namespace

void PrintStats(Session& session, const Output& out) {
  const lines::LinkStats s = session.Service().Stats(session.LineNo());
  fmt::print(out.out, "{}\n",
             Heading(out, fmt::format("Link statistics, line {}", session.LineNo())));
  fmt::print(out.out, "  exchanges {}, accepted {}, refused {}\n", s.exchanges, s.accepted,
             s.refused);
  fmt::print(out.out,
             "  rejected {}: 209 no ETX {}, 219 length {}, 222 check byte {}, "
             "223 first byte {}\n",
             s.Rejected(), s.rejected209, s.rejected219, s.rejected222, s.rejected223);
  fmt::print(out.out, "  timeouts {}, retries {}, re-initialisations {}\n", s.timeouts, s.retries,
             s.reinitialisations);
  fmt::print(out.out, "  acknowledgements sent: ACK {}, NAK {}\n", s.acks, s.naks);
}

bool RunStep(Session& session, const Step& step, const Output& out) {
  TVM30& driver = session.Driver();
  const auto line = static_cast<std::int32_t>(session.LineNo());
  const std::int32_t addr = session.Addr();
  const auto lineByte = static_cast<std::uint8_t>(line);
  const auto addrByte = static_cast<std::uint8_t>(addr);
  const std::string& name = step.name;

  if (name == "demo") {
    return Demo(session, step, out);
  }
  if (name == "init") {
    session.Open();
    fmt::print(out.out, "line {} opened; address 1 reset, reply {}\n", line,
               driver.GetLinkState(lineByte) == 1 ? "accepted" : "not accepted");
  } else if (name == "poll") {
    session.EnsureOpen();
    const std::uint16_t result = driver.PollState(lineByte, addrByte);
    const auto state = static_cast<std::uint8_t>(result & 0xFF);
    fmt::print(out.out, "line {} address {}: state {} ({}){}\n", line, addr, state,
               StateName(state), result > 0xFF ? ", reply refused: state not refreshed" : "");
  } else if (name == "price") {
    driver.SetUnitPrice(line, addr, step.price);
    fmt::print(out.out,
               "unit price {:.2f} set for line {} address {}; it goes out with the next "
               "start\n",
               step.price, line, addr);
  } else if (name == "preset") {
    if (step.money >= 0) {
      driver.SetDoseMoney(line, addr, step.money);
    } else {
      driver.SetDoseVolume(line, addr, step.volume);
    }
    fmt::print(out.out,
               "preset {:.2f} {} set for line {} address {}; it goes out with the next "
               "start\n",
               step.money >= 0 ? step.money : step.volume,
               step.money >= 0 ? "money" : "volume units", line, addr);
  } else if (name == "start") {
    session.EnsureOpen();
    driver.StartPump(line, addr, step.mode);
    fmt::print(out.out, "line {} address {}: started\n", line, addr);
  } else if (name == "stop") {
    session.EnsureOpen();
    driver.StopPump(line, addr);
    fmt::print(out.out, "line {} address {}: stopped\n", line, addr);
  } else if (name == "live") {
    session.EnsureOpen();
    double money = 0;
    const double volume = driver.ReadLive(line, addr, money);
    fmt::print(out.out, "line {} address {}: volume {:.2f}, money {:.3f}\n", line, addr, volume,
               money);
  } else if (name == "totals") {
    session.EnsureOpen();
    double volume = 0;
    double money = 0;
    driver.ReadTotals(line, addr, step.selector, volume, money);
    fmt::print(out.out, "line {} address {}: counters {:.0f} and {:.0f}\n", line, addr, volume,
               money);
  } else if (name == "param get") {
    session.EnsureOpen();
    const std::int32_t value = driver.ReadParam(line, addr, step.paramNo);
    fmt::print(out.out, "line {} address {}: parameter {:02} = {}\n", line, addr, step.paramNo,
               value);
  } else if (name == "param set") {
    session.EnsureOpen();
    driver.WriteParam(line, addr, step.paramNo, step.paramValue);
    fmt::print(out.out, "line {} address {}: parameter {:02} set to {}\n", line, addr, step.paramNo,
               step.paramValue % 10);
  } else if (name == "wait") {
    session.Clock().Wait(static_cast<std::uint64_t>(step.seconds * kUsPerSecond));
  } else if (name == "stats") {
    PrintStats(session, out);
  }
  return true;
}

}  // namespace tarvenix::cli
