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
#include <atomic>
#include <csignal>
#include <cstdio>
#include <tarvenix/lines/clock.hpp>

#include "sim/forecourt_flags.hpp"
#include "sim/pty_server.hpp"

namespace {

using namespace tarvenix::sim;
namespace lines = tarvenix::lines;

// The server a signal stops; set only while it serves, so that a signal
// never reaches a server that is gone.
std::atomic<PtyServer*> g_server{nullptr};
static_assert(std::atomic<PtyServer*>::is_always_lock_free);

void StopServing(int /*signal*/) {
  if (PtyServer* server = g_server.load()) {
    server->RequestStop();
  }
}

// Points SIGINT and SIGTERM at a server for as long as the guard lives.
class StopOnSignal {
 public:
  explicit StopOnSignal(PtyServer& server) {
    g_server = &server;
    std::signal(SIGINT, StopServing);
    std::signal(SIGTERM, StopServing);
  }
  ~StopOnSignal() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    g_server = nullptr;
  }
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;
};

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

int Serve(int in, int out, SimulatedLine& line, lines::Clock& clock) {
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

int ServePty(SimulatedLine& line, const PtyServer::Options& options) {
  PtyServer server(line, options);
  if (server.Path().empty()) {
    fmt::print(stderr, "tarvenix-sim: error: cannot make a pseudo terminal\n");
    return 1;
  }
  fmt::print("{}\n", server.Path());
  std::fflush(stdout);
  // A signal ends Run(), so that the destructor removes the symlink.
  const StopOnSignal stop(server);
  return server.Run();
}

int Run(int argc, char** argv) {
  CLI::App app{"Simulated Tarvenix dispenser controllers on standard input and output"};
  ForecourtFlags flags;
  ForecourtOptions options;
  bool pty = false;
  PtyServer::Options ptyOptions;
  AddForecourtFlags(app, flags);
  app.add_option("--delay-ms", options.delayMs, "Delay of the delay fault")->capture_default_str();
  app.add_flag("--pty", pty, "Serve a pseudo terminal instead of standard input and output");
  app.add_option("--link", ptyOptions.link, "With --pty: a symlink to the pseudo terminal");
  app.add_option("--baud", ptyOptions.baud, "With --pty: the bit rate the bytes are paced at")
      ->check(CLI::Range(300, 115200))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  ApplyForecourtFlags(flags, options);
  lines::WallClock clock;
  SimulatedLine line(clock);
  Populate(line, options);
  if (pty) {
    return ServePty(line, ptyOptions);
  }
  return Serve(STDIN_FILENO, STDOUT_FILENO, line, clock);
}

}  // namespace

// Nothing escapes: any failure is one line on standard error and status 1.
int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    fmt::print(stderr, "tarvenix-sim: error: {}\n", e.what());
  } catch (...) {
    fmt::print(stderr, "tarvenix-sim: error: unexpected failure\n");
  }
  return 1;
}
