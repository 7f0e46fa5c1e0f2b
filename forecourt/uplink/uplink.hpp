// The uplink to the head office: one thread that sends the journal's outbox
// through an MQTT broker, in order, QoS 1, and deletes a record only once
// the broker has acknowledged it; keeps a retained status of the site, with
// a last will that marks it offline; and takes the commands the head office
// sends (price sets), each once, reporting each outcome once through the
// outbox. See docs/head-office.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "forecourt/config.hpp"
#include "forecourt/journal.hpp"
#include "forecourt/log.hpp"
#include "forecourt/model.hpp"

namespace tarvenix::forecourt::uplink {

// Applies a price set {"prices": {pump id: price}, ...}; refuses it whole,
// applying nothing, when it does not fit the site.
using ApplyPrices = std::function<Outcome(const nlohmann::json& priceSet)>;
// The site's summary for its status: lines, pumps online, open sales.
using Summary = std::function<nlohmann::json()>;

// The topics of a site.
std::string Topic(const std::string& site, std::string_view kind);
// A record as published: {"site","seq","kind","time","record"}.
std::string Envelope(const std::string& site, std::int64_t seq, std::string_view kind,
                     std::int64_t createdMs, std::string_view record);

// What a command message comes to before it is applied: its id (empty when
// unreadable), its kind, and the refusal when it is not to be applied.
struct CommandCheck {
  std::string id;
  std::string kind;
  nlohmann::json body;
  std::string error;  // "bad-json", "bad-command", "unknown-kind", "not-allowed"
  std::string message;
};
CommandCheck CheckCommand(std::string_view payload, const std::vector<std::string>& allowed);

class Uplink {
 public:
  Uplink(const UplinkConfig& config, Journal& journal, std::string journalPath, Log& log,
         Summary summary, ApplyPrices applyPrices);
  ~Uplink();
  Uplink(const Uplink&) = delete;
  Uplink& operator=(const Uplink&) = delete;

  void Start();
  // Marks the site offline (retained) when connected, and disconnects.
  void Stop();

  // For /api/v1/uplink and the metrics: connected, records sent, last error.
  nlohmann::json Status() const;
  bool Connected() const { return connected_.load(); }

 private:
  struct Session;

  void Run();
  void Wake();
  void HandleCommand(std::string_view payload);
  // Keeps the error for the status, and logs it when it is new.
  void Note(const std::string& error);

  UplinkConfig config_;
  Journal& journal_;
  std::string journalPath_;
  Log& log_;
  Summary summary_;
  ApplyPrices applyPrices_;

  std::thread thread_;
  std::atomic<bool> stopping_{false};
  int wakeFd_ = -1;  // an eventfd: the outbox grew, or Stop
  std::atomic<bool> connected_{false};
  std::atomic<std::int64_t> sent_{0};      // records acknowledged by the broker
  std::atomic<std::int64_t> commands_{0};  // command messages received
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace tarvenix::forecourt::uplink
