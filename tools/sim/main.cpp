// tarvenix-sim: the simulated dispenser controllers on a byte stream.
//
// Reads request bytes from standard input and writes the controllers'
// replies to standard output, in real time; with --pty it makes a pseudo
// terminal instead, prints its path (or makes --link point at it), and
// serves whatever opens it as a serial port, paced at --baud. The driver's
// own tests and the tarvenix command use the simulator in-process; this is
// for line services of other hosts, and for `tarvenix --port`.
#include <fmt/core.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>

#include "clock.hpp"
#include "forecourt.hpp"
#include "pty_server.hpp"

namespace {

using namespace tarvenix::sim;

PtyServer* g_server = nullptr;

void StopServing(int /*signal*/) {
  if (g_server != nullptr) {
    g_server->RequestStop();
  }
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

int Serve(int in, int out, SimulatedLine& line, Clock& clock) {
  std::uint8_t chunk[256];
  for (;;) {
    const ssize_t n = read(in, chunk, sizeof chunk);
    if (n <= 0) {
      return n == 0 ? 0 : 1;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const Transmission reply = line.Receive(std::span(chunk + i, 1));
      if (!reply.Empty()) {
        clock.Wait(reply.delayUs);
        if (!WriteAll(out, reply.Bytes())) {
          return 1;
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated Tarvenix dispenser controllers on standard input and output"};
  ForecourtOptions options;
  unsigned dispensers = options.dispensers;
  double flow = options.flowPerMinute / 100.0;
  std::vector<std::string> faults;
  bool pty = false;
  PtyServer::Options ptyOptions;
  app.add_option("--dispensers", dispensers, "Dispensers at addresses 1..N")
      ->check(CLI::Range(1, 32))
      ->capture_default_str();
  app.add_option("--flow", flow, "Flow in volume units a minute")
      ->check(CLI::Range(0.01, 6000.0))
      ->capture_default_str();
  app.add_option("--fault", faults, "KIND[:PROBABILITY][@ADDR], repeatable");
  app.add_option("--seed", options.seed, "Seed of the fault draws")->capture_default_str();
  app.add_option("--delay-ms", options.delayMs, "Delay of the delay fault")->capture_default_str();
  app.add_flag("--pty", pty, "Serve a pseudo terminal instead of standard input and output");
  app.add_option("--link", ptyOptions.link, "With --pty: a symlink to the pseudo terminal");
  app.add_option("--baud", ptyOptions.baud, "With --pty: the bit rate the bytes are paced at")
      ->check(CLI::Range(300, 115200))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  options.dispensers = static_cast<std::uint8_t>(dispensers);
  options.flowPerMinute = static_cast<std::uint32_t>(flow * 100 + 0.5);
  for (const std::string& text : faults) {
    const auto fault = ParseFaultOption(text);
    if (!fault) {
      fmt::print(stderr, "tarvenix-sim: error: bad fault '{}'\n", text);
      return 2;
    }
    options.faults.push_back(*fault);
  }
  WallClock clock;
  SimulatedLine line(clock);
  Populate(line, options);
  if (pty) {
    PtyServer server(line, ptyOptions);
    if (server.Path().empty()) {
      fmt::print(stderr, "tarvenix-sim: error: cannot make a pseudo terminal\n");
      return 1;
    }
    fmt::print("{}\n", server.Path());
    std::fflush(stdout);
    // Leave through the destructor, which removes the symlink.
    g_server = &server;
    std::signal(SIGINT, StopServing);
    std::signal(SIGTERM, StopServing);
    return server.Run();
  }
  return Serve(STDIN_FILENO, STDOUT_FILENO, line, clock);
}
