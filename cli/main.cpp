// tarvenix: the driver's whole job on a simulated forecourt.
//
//   tarvenix [options] COMMAND [args] [then COMMAND [args] ...]
//
// Every invocation builds a fresh simulated line with its dispensers and
// runs the commands against it in order, through the real driver and the
// in-process line service; with --port it talks to a serial port instead
// (a real line, or `tarvenix-sim --pty`) through the serial line service. Output goes to standard
// output, the trace to standard error; an error is one line on standard error and a non-zero exit
// code.
#include <fmt/color.h>
#include <fmt/core.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tarvenix/errors.hpp>
#include <tarvenix/version.hpp>
#include <vector>

#include "cli/operations.hpp"
#include "cli/session.hpp"
#include "sim/forecourt_flags.hpp"
#include "trace/text.hpp"

namespace {

using namespace tarvenix;
using namespace tarvenix::cli;

constexpr const char* kThen = "then";

struct Globals {
  SessionOptions session;
  sim::ForecourtFlags forecourt;
  bool stats = false;
};

// The demo's flow when --flow is not given, volume units a minute: a
// delivery of 25 takes a few seconds.
constexpr double kDemoFlow = 600.0;

std::string VersionText() {
  const std::string_view info(reinterpret_cast<const char*>(kDriverInfo.data() + 1),
                              kDriverInfo[0]);
  return fmt::format("tarvenix {}\ndriver information: {}", TARVENIX_VERSION,
                     trace::Cp1251ToUtf8(info));
}

// The options every command takes; they may stand before or after it.
void AddGlobalOptions(CLI::App& app, Globals& g) {
  app.add_option("--line", g.session.line, "Line number")->check(CLI::Range(1, 32));
  app.add_option("--addr", g.session.addr, "Dispenser address on the line")
      ->check(CLI::Range(1, 32));
  app.add_flag("--trace", g.session.trace,
               "Show every byte on the line, decoded, on standard error");
  app.add_option("--record", g.session.record,
                 "Write every transmission to FILE, one per line (see docs/simulator.md)")
      ->type_name("FILE");
  app.add_flag("--sim-time", g.session.simTime,
               "Run on simulated time: pauses and deliveries take no real time");
  sim::AddForecourtFlags(app, g.forecourt);
  app.get_option("--flow")->description(
      "Flow of the simulated dispensers, volume units a minute (the demo's default is 600)");
  app.add_flag("--stats", g.stats, "Print the link statistics at the end");
  app.add_option("--port", g.session.port,
                 "Talk to the dispensers on serial port PATH instead of the simulator")
      ->type_name("PATH");
  app.add_option("--baud", g.session.baud, "With --port: the bit rate (default the driver's 4800)")
      ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}));
}

void AddCommands(CLI::App& app, Step& step) {
  const auto named = [&](CLI::App* sub, std::string name) {
    sub->callback([&step, name] { step.name = name; });
    return sub;
  };
  auto* demo = named(app.add_subcommand("demo",
                                        "Run a whole delivery and show what the driver "
                                        "saw"),
                     "demo");
  demo->add_option("--price", step.price, "Unit price")->capture_default_str();
  auto* dv = demo->add_option("--volume", step.volume, "Volume preset (default 25)");
  demo->add_option("--money", step.money, "Money preset instead of volume")->excludes(dv);

  named(app.add_subcommand("init", "Open the line: configure it and reset address 1"), "init");
  named(app.add_subcommand("poll", "Poll the dispenser's state"), "poll");
  auto* price =
      named(app.add_subcommand("price", "Set the unit price for the next start"), "price");
  price->add_option("PRICE", step.price, "Unit price")->required();
  auto* preset = named(app.add_subcommand("preset", "Set the preset for the next start"), "preset");
  auto* pv = preset->add_option("--volume", step.volume, "Volume preset");
  auto* pm = preset->add_option("--money", step.money, "Money preset")->excludes(pv);
  preset->require_option(1);
  (void)pm;
  auto* start =
      named(app.add_subcommand("start", "Start a delivery with the price and preset set"), "start");
  start->add_option("--mode", step.mode, "Start mode digit")->capture_default_str();
  named(app.add_subcommand("stop", "Stop the delivery"), "stop");
  named(app.add_subcommand("live", "Read the live volume and money"), "live");
  auto* totals = named(app.add_subcommand("totals", "Read the totaliser counters"), "totals");
  totals->add_option("--selector", step.selector, "Counter selector digit")->capture_default_str();
  auto* param = app.add_subcommand("param", "Read or write a numbered parameter");
  param->require_subcommand(1);
  auto* get = named(param->add_subcommand("get", "Read parameter NUMBER"), "param get");
  get->add_option("NUMBER", step.paramNo, "Parameter number 0..99")->required();
  auto* set =
      named(param->add_subcommand("set", "Write VALUE (0..9) to parameter NUMBER"), "param set");
  set->add_option("NUMBER", step.paramNo, "Parameter number 0..99")->required();
  set->add_option("VALUE", step.paramValue, "Value digit 0..9")->required();
  auto* wait = named(app.add_subcommand("wait", "Let time pass"), "wait");
  wait->add_option("SECONDS", step.seconds, "Seconds")->required()->check(CLI::Range(0.0, 3600.0));
  named(app.add_subcommand("stats", "Print the link statistics of the line"), "stats");
}

// Splits the arguments at each "then".
std::vector<std::vector<std::string>> Segments(int argc, char** argv) {
  std::vector<std::vector<std::string>> segments(1);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], kThen) == 0) {
      segments.emplace_back();
    } else {
      segments.back().emplace_back(argv[i]);
    }
  }
  return segments;
}

bool ColourWanted() {
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) != 0 && std::getenv("NO_COLOR") == nullptr && term != nullptr &&
         std::strcmp(term, "dumb") != 0;
}

int Fail(const std::string& message) {
  fmt::print(stderr, "tarvenix: error: {}\n", message);
  return 1;
}

// Parses the command line and runs its steps; returns the exit status.
int Run(int argc, char** argv) {
  Globals g;
  std::vector<Step> steps;
  const auto segments = Segments(argc, argv);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    Step step;
    CLI::App app{
        "Drive Tarvenix fuel dispensers; by default a simulated forecourt in this "
        "process.\nChain commands with \"then\": tarvenix price 52.9 then preset "
        "--volume 10 then start then wait 15 then live",
        "tarvenix"};
    app.set_version_flag("--version", VersionText);
    app.require_subcommand(1);
    app.fallthrough();
    AddGlobalOptions(app, g);
    AddCommands(app, step);
    std::vector<std::string> args(segments[i].rbegin(), segments[i].rend());
    try {
      app.parse(args);
    } catch (const CLI::CallForHelp& e) {
      return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
      return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
      return app.exit(e);
    } catch (const CLI::ParseError& e) {
      fmt::print(stderr, "tarvenix: error: {} (see tarvenix --help)\n", e.what());
      return 2;
    }
    steps.push_back(step);
  }

  const bool flowGiven = std::any_of(
      argv + 1, argv + argc, [](const char* a) { return std::strncmp(a, "--flow", 6) == 0; });
  if (!flowGiven &&
      std::any_of(steps.begin(), steps.end(), [](const Step& s) { return s.name == "demo"; })) {
    g.forecourt.flow = kDemoFlow;
  }
  sim::ApplyForecourtFlags(g.forecourt, g.session.forecourt);

  Session session(g.session);
  Output out{stdout, ColourWanted()};
  for (const Step& step : steps) {
    try {
      if (!RunStep(session, step, out)) {
        return 1;
      }
    } catch (const ESerialIO& e) {
      return Fail(fmt::format("{}: {}", step.name, trace::Cp1251ToUtf8(e.what())));
    } catch (const ERangeError& e) {
      return Fail(fmt::format("{}: {}", step.name, e.what()));
    }
  }
  if (g.stats) {
    PrintStats(session, out);
  }
  return 0;
}

}  // namespace

// Nothing escapes: any failure is one line on standard error and status 1.
int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    return Fail(e.what());
  } catch (...) {
    return Fail("unexpected failure");
  }
}
