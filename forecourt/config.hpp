// The service's configuration, from a TOML file or from --simulate.
//
// A file is checked whole before anything is opened: every mistake is
// reported with the file's line and column, and the service refuses to
// start (exit status 78, EX_CONFIG).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "forecourt/model.hpp"

namespace tarvenix::forecourt {

struct LineConfig {
  std::string device;           // a serial port; empty for a simulated line
  std::uint32_t baud = 0;       // overrides the driver's bit rate; 0 keeps it
  std::uint8_t simulate = 0;    // dispensers of the in-process simulator (1..32)
  double flowPerMinute = 40.0;  // simulated flow, volume units a minute
  // Drop replies whose byte 1 is not the request's sequence digit: only for
  // dispensers known to echo it there, as the simulator's do.
  bool matchEcho = false;
  std::vector<PumpConfig> pumps;
};

struct Settings {
  std::uint32_t maxUnpaid = 2;
  std::uint32_t offlineAfter = 3;           // failed polls in a row
  std::uint32_t liveIntervalMs = 200;       // ReadLive of a delivering pump
  std::uint32_t pollIntervalMs = 0;         // least time between polls of one idle pump
  std::uint32_t backoffFirstMs = 1000;      // re-probe of an offline pump, doubling...
  std::uint32_t backoffMaxMs = 30'000;      // ... up to this
  std::uint32_t totalsIntervalMs = 60'000;  // counters of an idle pump
  std::uint32_t journalLiveIntervalMs = 1000;
  std::uint32_t liveEventIntervalMs = 200;
  // Silence of every point of sale after which fallback begins.
  std::uint32_t fallbackAfterS = 120;
  // Called with each final reading before it is committed: the crash test
  // dies there (tarvenixd --crash-after-final), the benchmark times the
  // commit from there.
  std::function<void(const std::string& pumpId)> beforeFinalCommit;
};

// A bearer token of the HTTP interface and what it may do: monitor reads,
// control also commands the pumps and the buffer of sales, admin also
// parameters and alerts.
enum class Role : std::uint8_t { kMonitor, kControl, kAdmin };

struct Token {
  std::string value;
  Role role = Role::kMonitor;
  // Who holds it ("till-2"): when set, the client of every lock, unlock and
  // clear made with it, so one till cannot clear another's sale.
  std::string name;
};

// What the web page offers: one-tap presets and the currency it shows.
struct WebConfig {
  std::string currency;  // ISO 4217 code, e.g. "EUR"; empty: amounts without one
  std::vector<double> volumePresets{10, 20, 40};
  std::vector<double> moneyPresets{20, 50, 100};
};

// The link to the head office through an MQTT broker; off unless enabled.
struct UplinkConfig {
  bool enabled = false;
  std::string site;  // names the site in every topic: letters, digits, '-', '_'
  std::string host = "localhost";
  std::uint16_t port = 1883;
  std::string clientId;  // default "tarvenix-<site>": fixed, for a persistent session
  std::uint32_t keepaliveS = 30;
  std::string caFile;  // TLS when set; with a client certificate and key, or none
  std::string certFile;
  std::string keyFile;
  std::string username;  // with a password, or none
  std::string password;
  std::vector<std::string> allowedCommands{"prices"};
  std::uint32_t backlogDegradedS = 600;   // /healthz degraded past this age of the oldest record
  std::uint32_t reconnectMaxMs = 30'000;  // backoff from 500 ms, doubling, up to this
  std::uint32_t statusIntervalS = 10;
};

struct Config {
  std::string database;
  std::string listen = "127.0.0.1:8080";
  std::vector<Token> tokens;   // none: open access, loopback only
  std::string tlsCertificate;  // PEM files; both or neither
  std::string tlsKey;
  std::string staticDir;  // served at / when set
  // The site's IANA time zone, for the day-end and the hourly and daily
  // totals.
  std::string timezone = "UTC";
  WebConfig web;
  Settings settings;
  std::vector<LineConfig> lines;
  UplinkConfig uplink;
};

struct ConfigError {
  std::string file;
  std::uint32_t line = 0;  // 1-based; 0 when the mistake has no place
  std::uint32_t column = 0;
  std::string message;

  // "FILE:LINE:COLUMN: MESSAGE"
  std::string Text() const;
};

struct LoadedConfig {
  std::optional<Config> config;
  std::vector<ConfigError> errors;
};

// Reads and checks a configuration file.
LoadedConfig LoadConfig(const std::string& path);
// The same for a text in memory; `name` stands for the file in messages.
LoadedConfig ParseConfig(std::string_view text, const std::string& name);

// Whether a HOST:PORT is on this machine only.
bool ListensOnLoopback(std::string_view listen);
// Refuses a listen address beyond loopback when no token is configured.
std::optional<std::string> CheckAccess(const Config& config);

// One simulated line with `dispensers` pumps 1..N and the journal at
// `database`: what `tarvenixd --simulate N` runs.
Config SimulatedConfig(std::uint8_t dispensers, const std::string& database);

}  // namespace tarvenix::forecourt
