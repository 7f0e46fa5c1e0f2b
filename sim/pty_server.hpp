// PtyServer: simulated dispensers behind a pseudo-terminal, for line
// services that talk to serial ports.
//
// The server makes a pseudo-terminal and serves whatever opens its far side
// as a serial port: each request byte is handed to the simulated line, and
// the line's replies are written back. Bytes are paced at the line's baud
// rate (10 bits a byte, as at 8N1) on one shared, half-duplex wire: a byte
// counts as received one byte time after the wire was free, and each reply
// byte leaves one byte time after the one before. A poll answered by a state
// reply therefore takes as long as on a real 4800-baud line.
//
// A symlink path may name the far side, like a fixed device name; Replug()
// drops the pseudo-terminal as an unplugged adapter would and makes a new
// one behind the same name.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "sim/simulated_line.hpp"

namespace tarvenix::sim {

class PtyServer {
 public:
  struct Options {
    std::uint32_t baud = 4800;
    std::string link;  // a symlink to the far side; empty for none
  };

  // Makes the pseudo-terminal; Path() is empty if that failed.
  PtyServer(SimulatedLine& line, Options options);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // What a host opens: the symlink if one was asked for, else the device.
  const std::string& Path() const { return options_.link.empty() ? device_ : options_.link; }

  // Serves on a thread of its own until Stop() or destruction.
  void Start();
  void Stop();
  // Serves on the calling thread until RequestStop() or a failure of the
  // pseudo-terminal.
  int Run();
  // Ends Run() or the serving thread; safe in a signal handler.
  void RequestStop();
  // Drops the pseudo-terminal and makes a new one behind the symlink.
  bool Replug();

 private:
  bool Make();
  void Drop();
  void Serve();
  void Paced(std::span<const std::uint8_t> bytes);

  SimulatedLine& line_;
  Options options_;
  std::chrono::nanoseconds byteTime_;
  int master_ = -1;
  int farSide_ = -1;  // held open so that clients may come and go
  int wake_[2] = {-1, -1};
  std::string device_;
  std::chrono::steady_clock::time_point wireFree_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tarvenix::sim
