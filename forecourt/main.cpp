// tarvenixd: the forecourt service. Runs every dispenser of the configured
// lines, follows each delivery, keeps the sales in its journal until they
// are paid, and recovers what a crash or a power cut interrupted.
#include <fmt/core.h>
#include <fmt/ranges.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "forecourt/api/server.hpp"
#include "forecourt/attendant.hpp"
#include "forecourt/audit.hpp"
#include "forecourt/config.hpp"
#include "forecourt/forecourt.hpp"
#include "forecourt/simulated_lines.hpp"
#include "forecourt/uplink/site.hpp"
#include "forecourt/uplink/uplink.hpp"

namespace {

using namespace tarvenix::forecourt;

constexpr int kExitConfig = 78;  // EX_CONFIG
constexpr int kExitFailure = 1;
constexpr int kExitCannotOpen = 2;
// What a line may take to finish at shutdown; the unit's TimeoutStopSec
// leaves a margin above it.
constexpr std::chrono::seconds kStopDeadline{10};

int ReportConfigErrors(const LoadedConfig& loaded) {
  for (const ConfigError& error : loaded.errors) {
    fmt::print(stderr, "tarvenixd: {}\n", error.Text());
  }
  return kExitConfig;
}

// Walks the journal's hash chain: the first record that does not match,
// or how many entries were found sound.
int VerifyJournal(const std::string& path) {
  if (!std::filesystem::exists(path)) {
    fmt::print(stderr, "tarvenixd: cannot open {}: no such file\n", path);
    return kExitCannotOpen;
  }
  ChainReport report;
  try {
    report = VerifyChain(path);
  } catch (const DatabaseError& e) {
    fmt::print(stderr, "tarvenixd: cannot open {}: {}\n", path, e.what());
    return kExitCannotOpen;
  }
  if (!report.sound) {
    fmt::print("{}: NOT SOUND at seq {}, {} {}: {}\n", path, report.seq, report.kind, report.refId,
               report.reason);
    return kExitFailure;
  }
  fmt::print("{}: sound, {} chain entries\n", path, report.entries);
  return 0;
}

// A price set from the head office becomes a scheduled set, as one made
// over HTTP; any refusal is the uplink's "bad-prices".
uplink::ApplyPrices HeadOfficePrices(Forecourt& forecourt, const std::string& site) {
  return [&forecourt, site](const nlohmann::json& command) {
    AuditRecord audit;
    audit.actor = "head-office";
    audit.kind = "price-set";
    audit.method = "MQTT";
    audit.path = "tarvenix/" + site + "/commands";
    try {
      Outcome outcome = api::SchedulePriceSet(forecourt, command, std::move(audit));
      if (!outcome.Ok()) {
        outcome.message = outcome.reason + ": " + outcome.message;
        outcome.reason = "bad-prices";
      }
      return outcome;
    } catch (const DatabaseError& e) {
      return Outcome::Refused("not-applied", std::string("the journal: ") + e.what());
    }
  };
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tarvenixd: the forecourt service over the Tarvenix driver"};
  std::string configPath;
  std::string checkPath;
  std::string verifyPath;
  unsigned simulate = 0;
  std::string database;
  bool demo = false;
  unsigned demoSales = 0;
  bool verbose = false;
  unsigned crashAfterFinal = 0;
  std::string listen;
  std::string web;
  app.add_option("--config", configPath, "The configuration file (TOML)");
  app.add_option("--check-config", checkPath, "Check a configuration file and exit");
  app.add_option("--verify-journal", verifyPath,
                 "Check the journal's hash chain (read-only) and exit: 0 sound, 1 not, 2 "
                 "cannot open");
  app.add_option("--simulate", simulate, "Run N simulated dispensers on one line, no file needed")
      ->check(CLI::Range(1, 32));
  app.add_option("--database", database, "The journal's path (overrides the configuration)");
  app.add_flag("--demo", demo, "Authorise idle pumps and clear their sales, as a demonstration");
  app.add_option("--demo-sales", demoSales, "With --demo: stop after this many sales (0: never)");
  app.add_flag("--verbose", verbose, "Log every exchange on the lines");
  app.add_option("--crash-after-final", crashAfterFinal,
                 "Testing: die (SIGKILL) at the Nth final reading, before its commit");
  app.add_option("--listen", listen, "The HTTP interface's HOST:PORT (port 0: a free one)");
  app.add_option("--web", web,
                 "The folder of the web page served at / (default: the built-in one)");
  CLI11_PARSE(app, argc, argv);

  if (!verifyPath.empty()) {
    return VerifyJournal(verifyPath);
  }
  if (!checkPath.empty()) {
    const LoadedConfig loaded = LoadConfig(checkPath);
    if (!loaded.config) {
      return ReportConfigErrors(loaded);
    }
    fmt::print("{}: ok\n", checkPath);
    return 0;
  }
  Config config;
  if (simulate > 0) {
    std::string path = database;
    if (path.empty()) {
      std::string dir = (std::filesystem::temp_directory_path() / "tarvenixd-XXXXXX").string();
      if (mkdtemp(dir.data()) == nullptr) {
        fmt::print(stderr, "tarvenixd: cannot make a temporary folder\n");
        return kExitFailure;
      }
      path = dir + "/journal.db";
    }
    config = SimulatedConfig(static_cast<std::uint8_t>(simulate), path);
  } else if (!configPath.empty()) {
    const LoadedConfig loaded = LoadConfig(configPath);
    if (!loaded.config) {
      return ReportConfigErrors(loaded);
    }
    config = *loaded.config;
    if (!database.empty()) {
      config.database = database;
    }
  } else {
    fmt::print(stderr, "tarvenixd: give --config FILE or --simulate N\n");
    return 2;
  }

  if (!listen.empty()) {
    config.listen = listen;
  }
  if (!web.empty()) {
    config.staticDir = web;
  } else if (config.staticDir.empty()) {
    // The page of the source tree, so that a build serves it with no
    // setting; else the one installed with the service.
    for (const char* dir : {TARVENIX_WEB_DIR, TARVENIX_INSTALLED_WEB_DIR}) {
      if (std::error_code ec; std::filesystem::is_directory(dir, ec)) {
        config.staticDir = dir;
        break;
      }
    }
  }
  if (auto refused = CheckAccess(config)) {
    fmt::print(stderr, "tarvenixd: {}\n", *refused);
    return kExitConfig;
  }

  if (crashAfterFinal > 0) {
    config.settings.beforeFinalCommit = [crashAfterFinal,
                                         seen = std::make_shared<unsigned>(0)](const std::string&) {
      if (++*seen == crashAfterFinal) {
        std::raise(SIGKILL);
      }
    };
  }

  // SIGTERM and SIGINT are taken by this thread alone, with sigwait; every
  // thread made from here on inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Log log(stderr, verbose);
  try {
    log.Info("tarvenixd: journal {}", config.database);
    SimulatedLines simulated;
    Forecourt forecourt(config, log, nullptr, {}, simulated.Factory());
    api::Api http(forecourt, config);
    // The port first: a port in use ends the service before any dispenser
    // was touched.
    api::Server server(http, log,
                       {.listen = config.listen,
                        .tlsCertificate = config.tlsCertificate,
                        .tlsKey = config.tlsKey,
                        .staticDir = config.staticDir});
    // The head office's link, when enabled: it starts with the lines, and
    // the service runs the same whether the broker is there or not.
    std::unique_ptr<uplink::Uplink> headOffice;
    if (config.uplink.enabled) {
      headOffice = std::make_unique<uplink::Uplink>(
          config.uplink, forecourt.GetJournal(), config.database, log,
          uplink::SiteSummary(forecourt), HeadOfficePrices(forecourt, config.uplink.site));
      http.SetUplinkStatus([link = headOffice.get()] { return link->Status(); });
    }
    forecourt.Start();
    if (headOffice) {
      headOffice->Start();
    }
    server.Start();
    // The first line of standard output, for scripts and tests.
    fmt::print("{}\n", server.Url());
    std::fflush(stdout);
    log.Info("tarvenixd: HTTP on {}", server.Url());
    if (config.tokens.empty()) {
      log.Info("tarvenixd: no token configured: access is open, on loopback only");
    }
    std::unique_ptr<Attendant> attendant;
    if (demo) {
      attendant = std::make_unique<Attendant>(forecourt, log, demoSales);
      attendant->Start();
    }
    int received = 0;
    sigwait(&signals, &received);
    log.Info("tarvenixd: {} received, stopping", received == SIGTERM ? "SIGTERM" : "SIGINT");
    if (attendant) {
      attendant->Stop();
    }
    // No new connection; every line at once finishes its exchange in
    // flight and commits it, and queued commands are answered "stopping";
    // then the connections close.
    server.StopAccepting();
    const auto deadline = std::chrono::steady_clock::now() + kStopDeadline;
    if (const auto running = forecourt.StopBefore(deadline); !running.empty()) {
      log.Info("tarvenixd: lines {} still busy after {} s: exiting without them",
               fmt::join(running, ", "), kStopDeadline.count());
      std::fflush(stderr);
      std::_Exit(kExitFailure);
    }
    if (headOffice) {
      // After the lines: what they committed last goes out too, if it can.
      headOffice->Stop();
    }
    server.Stop();
    log.Info("tarvenixd: stopped");
  } catch (const DatabaseError& e) {
    log.Info("tarvenixd: journal: {}", e.what());
    return kExitFailure;
  } catch (const std::exception& e) {
    log.Info("tarvenixd: {}", e.what());
    return kExitFailure;
  }
  return 0;
}
