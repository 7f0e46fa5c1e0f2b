// The demo attendant: authorises every idle pump with a small volume preset
// and clears each sale once it is payable, as a point of sale would, until
// a number of sales is reached. It uses only the service's client calls,
// with a client reference per sale, so a restarted service with a restarted
// attendant never authorises a sale twice. For demonstrations and the crash
// test; a real forecourt has a point of sale instead.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "forecourt/forecourt.hpp"

namespace tarvenix::forecourt {

class Attendant {
 public:
  // `sales`: how many sales to make in all (0: no end); counted in the
  // journal, so across restarts.
  Attendant(Forecourt& forecourt, Log& log, std::uint32_t sales);
  ~Attendant();
  Attendant(const Attendant&) = delete;
  Attendant& operator=(const Attendant&) = delete;

  // One round: authorise what is idle, clear what is payable.
  void Round();
  void Start();
  void Stop();
  bool Done() const { return done_.load(); }

 private:
  Forecourt& forecourt_;
  Log& log_;
  std::uint32_t sales_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tarvenix::forecourt
