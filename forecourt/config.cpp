#include "forecourt/config.hpp"

#include <fmt/core.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "forecourt/amounts.hpp"
#include "forecourt/shifts.hpp"

namespace tarvenix::forecourt {
namespace {

constexpr std::size_t kMaxLines = 32;
constexpr std::int64_t kMaxAddr = 32;

class Checker {
 public:
  explicit Checker(std::string file) : file_(std::move(file)) {}

  void Error(const toml::source_region& where, std::string message) {
    errors_.push_back({.file = file_,
                       .line = where.begin.line,
                       .column = where.begin.column,
                       .message = std::move(message)});
  }
  void Error(const toml::node& node, std::string message) {
    Error(node.source(), std::move(message));
  }

  // Every key of `table` must be one of `known`.
  void OnlyKeys(const toml::table& table, std::initializer_list<std::string_view> known,
                std::string_view where) {
    for (const auto& [key, node] : table) {
      if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
        Error(key.source().begin.line != 0 ? key.source() : node.source(),
              "unknown key '" + std::string(key.str()) + "' in " + std::string(where));
      }
    }
  }

  template <typename T>
  void Integer(const toml::table& table, std::string_view key, T& out, std::int64_t min,
               std::int64_t max) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
      return;
    }
    const auto value = node->value_exact<std::int64_t>();
    if (!value) {
      Error(*node, fmt::format("'{}' must be an integer", key));
    } else if (*value < min || *value > max) {
      Error(*node, fmt::format("'{}' must lie in {}..{}, not {}", key, min, max, *value));
    } else {
      out = static_cast<T>(*value);
    }
  }

  // A number, integer or not, with min < value <= max (or >= min when
  // `inclusive`).
  std::optional<double> Number(const toml::table& table, std::string_view key, double min,
                               double max, bool inclusive) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
      return std::nullopt;
    }
    const auto value = node->value<double>();
    if (!value || !(node->is_floating_point() || node->is_integer())) {
      Error(*node, fmt::format("'{}' must be a number", key));
      return std::nullopt;
    }
    const bool low = inclusive ? *value < min : *value <= min;
    if (!std::isfinite(*value) || low || *value > max) {
      std::ostringstream range;
      range << "'" << key << "' must lie in " << (inclusive ? "[" : "(") << min << ", " << max
            << "], not " << *value;
      Error(*node, range.str());
      return std::nullopt;
    }
    return *value;
  }

  std::optional<bool> Boolean(const toml::table& table, std::string_view key) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
      return std::nullopt;
    }
    const auto value = node->value_exact<bool>();
    if (!value) {
      Error(*node, fmt::format("'{}' must be true or false", key));
      return std::nullopt;
    }
    return *value;
  }

  std::optional<std::string> String(const toml::table& table, std::string_view key) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
      return std::nullopt;
    }
    const auto value = node->value_exact<std::string>();
    if (!value) {
      Error(*node, fmt::format("'{}' must be a string", key));
      return std::nullopt;
    }
    if (value->empty()) {
      Error(*node, fmt::format("'{}' must not be empty", key));
      return std::nullopt;
    }
    return *value;
  }

  std::vector<ConfigError> Take() { return std::move(errors_); }
  bool Clean() const { return errors_.empty(); }

 private:
  std::string file_;
  std::vector<ConfigError> errors_;
};

// The largest unit price the start command carries: four digits of
// hundredths.
constexpr double kMaxPrice = 99.99;

// Pump ids name pumps across the forecourt; addresses are per line.
struct Seen {
  std::set<std::string> ids;
  std::set<std::uint8_t> addrs;  // of the line being read
};

// fallback = "off" | "attended" | "auto"; auto needs fallback_preset =
// { volume = N } or { money = N }, on the steps of an authorisation.
void ReadFallback(Checker& check, const toml::table& table, PumpConfig& pump) {
  if (auto mode = check.String(table, "fallback")) {
    if (*mode == "attended") {
      pump.fallback = FallbackMode::kAttended;
    } else if (*mode == "auto") {
      pump.fallback = FallbackMode::kAuto;
    } else if (*mode != "off") {
      check.Error(*table.get("fallback"),
                  "'fallback' must be \"off\", \"attended\" or \"auto\", not '" + *mode + "'");
    }
  }
  const toml::node* node = table.get("fallback_preset");
  if (node == nullptr) {
    if (pump.fallback == FallbackMode::kAuto) {
      check.Error(
          *table.get("fallback"),
          "'fallback = \"auto\"' needs 'fallback_preset' ({ volume = N } or { money = N })");
    }
    return;
  }
  const toml::table* preset = node->as_table();
  if (preset == nullptr || preset->size() != 1 ||
      (preset->get("volume") == nullptr && preset->get("money") == nullptr)) {
    check.Error(*node, "'fallback_preset' must be { volume = N } or { money = N }");
    return;
  }
  pump.fallbackKind = preset->get("volume") != nullptr ? PresetKind::kVolume : PresetKind::kMoney;
  const std::string key(Name(pump.fallbackKind));
  if (auto value = check.Number(*preset, key, 0, 1e9, false)) {
    if (const Checked steps = OnStep(*value, PresetLimit(pump.fallbackKind)); !steps.steps) {
      check.Error(*preset->get(key), "'fallback_preset': " + steps.message);
    } else {
      pump.fallbackPreset = *value;
    }
  }
}

void ReadPump(Checker& check, const toml::table& table, LineConfig& line, Seen& seen) {
  check.OnlyKeys(table,
                 {"id", "name", "address", "start_mode", "totals_selector", "totals_scale", "price",
                  "product", "fallback", "fallback_preset"},
                 "a pump");
  PumpConfig pump;
  std::int64_t addr = 0;
  if (table.get("address") == nullptr) {
    check.Error(table.source(), "a pump needs an 'address' (1..32)");
  }
  check.Integer(table, "address", addr, 1, kMaxAddr);
  pump.addr = static_cast<std::uint8_t>(addr);
  pump.id = check.String(table, "id").value_or("");
  if (pump.id.empty() && table.get("id") == nullptr) {
    check.Error(table.source(), "a pump needs an 'id'");
  }
  pump.name = check.String(table, "name").value_or(pump.id.empty() ? "" : "Pump " + pump.id);
  check.Integer(table, "start_mode", pump.startMode, 0, 9);
  check.Integer(table, "totals_selector", pump.totalsSelector, 0, 9);
  if (auto scale = check.Number(table, "totals_scale", 0, 1e9, false)) {
    pump.totalsScale = *scale;
  }
  pump.price = check.Number(table, "price", 0, kMaxPrice, false);
  if (pump.price) {
    // The dispenser gets the price in hundredths; another would be rounded.
    if (const Checked steps = OnStep(*pump.price, kPriceLimit); !steps.steps) {
      check.Error(*table.get("price"), "'price': " + steps.message);
      pump.price.reset();
    }
  }
  // A price set may give one price to every pump of a product.
  if (auto product = check.String(table, "product")) {
    if (product->empty() || product->size() > 32) {
      check.Error(*table.get("product"), "'product' must have 1 to 32 characters");
    } else {
      pump.product = std::move(*product);
    }
  }
  ReadFallback(check, table, pump);
  if (!pump.id.empty() && !seen.ids.insert(pump.id).second) {
    check.Error(*table.get("id"), "pump id '" + pump.id + "' is used twice");
  }
  if (pump.addr != 0 && !seen.addrs.insert(pump.addr).second) {
    check.Error(*table.get("address"),
                "two pumps of the line at address " + std::to_string(pump.addr));
  }
  line.pumps.push_back(std::move(pump));
}

void ReadLine(Checker& check, const toml::table& table, Config& config, Seen& seen) {
  seen.addrs.clear();
  check.OnlyKeys(table, {"device", "baud", "simulate", "flow", "match_echo", "pump"}, "a line");
  LineConfig line;
  line.device = check.String(table, "device").value_or("");
  check.Integer(table, "baud", line.baud, 300, 115200);
  check.Integer(table, "simulate", line.simulate, 1, kMaxAddr);
  line.matchEcho = check.Boolean(table, "match_echo").value_or(false);
  if (auto flow = check.Number(table, "flow", 0, 6000, false)) {
    line.flowPerMinute = *flow;
  }
  const bool device = table.get("device") != nullptr;
  const bool simulated = table.get("simulate") != nullptr;
  if (device == simulated) {
    check.Error(table.source(), "a line needs either 'device' or 'simulate', not " +
                                    std::string(device ? "both" : "neither"));
  }
  if (const toml::node* pumps = table.get("pump")) {
    if (const toml::array* array = pumps->as_array();
        array != nullptr && array->is_array_of_tables()) {
      for (const toml::node& pump : *array) {
        ReadPump(check, *pump.as_table(), line, seen);
      }
    } else {
      check.Error(*pumps, "'pump' must be an array of tables ([[line.pump]])");
    }
  } else if (line.simulate > 0) {
    // A simulated line without pumps: one per simulated dispenser.
    for (std::uint8_t addr = 1; addr <= line.simulate; ++addr) {
      const std::string id = std::to_string(config.lines.size() + 1) + "-" + std::to_string(addr);
      if (!seen.ids.insert(id).second) {
        check.Error(table.source(), "pump id '" + id + "' is used twice");
      }
      line.pumps.push_back({.id = id, .name = "Pump " + id, .addr = addr});
    }
  } else {
    check.Error(table.source(), "a line needs at least one pump ([[line.pump]])");
  }
  if (simulated) {
    for (const PumpConfig& pump : line.pumps) {
      if (pump.addr > line.simulate) {
        check.Error(table.source(), "pump '" + pump.id + "' is at address " +
                                        std::to_string(pump.addr) + ", beyond the " +
                                        std::to_string(line.simulate) + " simulated dispensers");
      }
    }
  }
  config.lines.push_back(std::move(line));
}

bool IsLoopback(std::string_view listen) {
  const std::string_view host = listen.substr(0, listen.rfind(':'));
  return host == "localhost" || host == "::1" || host == "[::1]" || host.starts_with("127.");
}

void ReadAccess(Checker& check, const toml::table& root, Config& config) {
  if (const toml::node* tokens = root.get("token")) {
    const toml::array* array = tokens->as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
      check.Error(*tokens, "'token' must be an array of tables ([[token]])");
    } else {
      for (const toml::node& node : *array) {
        const toml::table& table = *node.as_table();
        check.OnlyKeys(table, {"value", "role", "name"}, "a token");
        Token token;
        const auto value = check.String(table, "value");
        const auto role = check.String(table, "role");
        if (!value || !role) {
          if (table.get("value") == nullptr || table.get("role") == nullptr) {
            check.Error(table.source(), "a token needs 'value' and 'role'");
          }
          continue;
        }
        if (value->size() < 16) {
          // The value is never echoed: the log must not hold a token.
          check.Error(*table.get("value"), "a token must have at least 16 characters");
        }
        if (*role == "monitor") {
          token.role = Role::kMonitor;
        } else if (*role == "control") {
          token.role = Role::kControl;
        } else if (*role == "admin") {
          token.role = Role::kAdmin;
        } else {
          check.Error(*table.get("role"),
                      "'role' must be monitor, control or admin, not '" + *role + "'");
        }
        if (auto name = check.String(table, "name")) {
          const bool taken = std::any_of(config.tokens.begin(), config.tokens.end(),
                                         [&](const Token& t) { return t.name == *name; });
          if (name->size() > 64) {
            check.Error(*table.get("name"), "a token's 'name' must have at most 64 characters");
          } else if (taken) {
            check.Error(*table.get("name"), "two tokens are named '" + *name + "'");
          }
          token.name = *name;
        }
        token.value = *value;
        config.tokens.push_back(std::move(token));
      }
    }
  }
  config.tlsCertificate = check.String(root, "tls_certificate").value_or("");
  config.tlsKey = check.String(root, "tls_key").value_or("");
  if (config.tlsCertificate.empty() != config.tlsKey.empty()) {
    check.Error(*root.get(config.tlsKey.empty() ? "tls_certificate" : "tls_key"),
                "TLS needs both 'tls_certificate' and 'tls_key'");
  }
  config.staticDir = check.String(root, "static_dir").value_or("");
  if (auto zone = check.String(root, "timezone")) {
    if (auto why = SiteZone::Check(*zone)) {
      check.Error(*root.get("timezone"), *why);
    }
    config.timezone = *zone;
  }
}

// The currency and the one-tap presets of the web page.
void ReadWeb(Checker& check, const toml::table& root, Config& config) {
  if (auto currency = check.String(root, "currency")) {
    const bool code =
        currency->size() == 3 && std::all_of(currency->begin(), currency->end(),
                                             [](char c) { return c >= 'A' && c <= 'Z'; });
    if (!code) {
      check.Error(
          *root.get("currency"),
          "'currency' must be a three-letter code such as \"EUR\", not '" + *currency + "'");
    }
    config.web.currency = *currency;
  }
  const toml::node* node = root.get("web");
  if (node == nullptr) {
    return;
  }
  const toml::table* web = node->as_table();
  if (web == nullptr) {
    check.Error(*node, "'web' must be a table ([web])");
    return;
  }
  check.OnlyKeys(*web, {"volume_presets", "money_presets"}, "[web]");
  auto presets = [&](std::string_view key, std::vector<double>& out) {
    const toml::node* list = web->get(key);
    if (list == nullptr) {
      return;
    }
    const toml::array* array = list->as_array();
    if (array == nullptr || array->size() > 6) {
      check.Error(*list, fmt::format("'{}' must be a list of at most 6 amounts", key));
      return;
    }
    out.clear();
    for (const toml::node& item : *array) {
      const auto value = item.value<double>();
      if (!value || !(item.is_integer() || item.is_floating_point()) || !(*value > 0) ||
          *value > 1e6) {
        check.Error(item, fmt::format("'{}' holds amounts above 0", key));
        return;
      }
      out.push_back(*value);
    }
  };
  presets("volume_presets", config.web.volumePresets);
  presets("money_presets", config.web.moneyPresets);
}

// Site ids and client ids go into topics: no wildcard, no separator.
bool IsTopicWord(std::string_view word) {
  return !word.empty() && word.size() <= 64 && word != "all" &&
         std::all_of(word.begin(), word.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_';
         });
}

void ReadUplink(Checker& check, const toml::table& root, Config& config) {
  const toml::node* node = root.get("uplink");
  if (node == nullptr) {
    return;
  }
  const toml::table* table = node->as_table();
  if (table == nullptr) {
    check.Error(*node, "'uplink' must be a table ([uplink])");
    return;
  }
  check.OnlyKeys(*table,
                 {"enabled", "site", "host", "port", "client_id", "keepalive_s", "ca_file",
                  "cert_file", "key_file", "username", "password", "allowed_commands",
                  "backlog_degraded_s", "reconnect_max_ms", "status_interval_s"},
                 "[uplink]");
  UplinkConfig& u = config.uplink;
  u.enabled = check.Boolean(*table, "enabled").value_or(false);
  u.site = check.String(*table, "site").value_or("");
  if (table->get("site") == nullptr) {
    check.Error(table->source(), "[uplink] needs a 'site': the id of this site in every topic");
  } else if (!u.site.empty() && !IsTopicWord(u.site)) {
    check.Error(
        *table->get("site"),
        "'site' must be 1..64 letters, digits, '-' or '_' (and not \"all\"), not '" + u.site + "'");
  }
  u.host = check.String(*table, "host").value_or(u.host);
  check.Integer(*table, "port", u.port, 1, 65535);
  u.clientId = check.String(*table, "client_id").value_or("tarvenix-" + u.site);
  check.Integer(*table, "keepalive_s", u.keepaliveS, 5, 3600);
  u.caFile = check.String(*table, "ca_file").value_or("");
  u.certFile = check.String(*table, "cert_file").value_or("");
  u.keyFile = check.String(*table, "key_file").value_or("");
  u.username = check.String(*table, "username").value_or("");
  u.password = check.String(*table, "password").value_or("");
  if (u.certFile.empty() != u.keyFile.empty()) {
    check.Error(*table->get(u.keyFile.empty() ? "cert_file" : "key_file"),
                "a client certificate needs both 'cert_file' and 'key_file'");
  }
  if (!u.certFile.empty() && u.caFile.empty()) {
    check.Error(*table->get("cert_file"), "a client certificate needs TLS: set 'ca_file'");
  }
  if (!u.password.empty() && u.username.empty()) {
    check.Error(*table->get("password"), "a 'password' needs a 'username'");
  }
  for (const std::string* file : {&u.caFile, &u.certFile, &u.keyFile}) {
    if (!file->empty() && !std::ifstream(*file)) {
      const char* key = file == &u.caFile     ? "ca_file"
                        : file == &u.certFile ? "cert_file"
                                              : "key_file";
      check.Error(*table->get(key), "cannot read '" + *file + "'");
    }
  }
  check.Integer(*table, "backlog_degraded_s", u.backlogDegradedS, 1, 365 * 86'400);
  check.Integer(*table, "reconnect_max_ms", u.reconnectMaxMs, 100, 3'600'000);
  check.Integer(*table, "status_interval_s", u.statusIntervalS, 1, 3600);
  if (const toml::node* list = table->get("allowed_commands")) {
    const toml::array* array = list->as_array();
    if (array == nullptr) {
      check.Error(*list, "'allowed_commands' must be a list of command kinds");
      return;
    }
    u.allowedCommands.clear();
    for (const toml::node& item : *array) {
      const auto kind = item.value_exact<std::string>();
      if (!kind || *kind != "prices") {
        // Never authorise or stop from afar: prices are the only kind.
        check.Error(item, "'allowed_commands' may hold only \"prices\"");
        continue;
      }
      u.allowedCommands.push_back(*kind);
    }
  }
}

}  // namespace

bool ListensOnLoopback(std::string_view listen) {
  return IsLoopback(listen);
}

std::optional<std::string> CheckAccess(const Config& config) {
  if (config.tokens.empty() && !IsLoopback(config.listen)) {
    return "listening on " + config.listen +
           " beyond this machine needs at least one [[token]]; without tokens only a loopback "
           "address is allowed";
  }
  return std::nullopt;
}

std::string ConfigError::Text() const {
  if (line == 0) {
    return file + ": " + message;
  }
  return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

LoadedConfig ParseConfig(std::string_view text, const std::string& name) {
  LoadedConfig loaded;
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    loaded.errors.push_back({.file = name,
                             .line = e.source().begin.line,
                             .column = e.source().begin.column,
                             .message = std::string(e.description())});
    return loaded;
  }
  Checker check(name);
  Config config;
  check.OnlyKeys(
      root,
      {"database", "listen", "max_unpaid", "offline_after", "live_interval_ms", "poll_interval_ms",
       "totals_interval_ms", "line", "token", "tls_certificate", "tls_key", "static_dir",
       "currency", "web", "fallback_after_s", "timezone", "uplink"},
      "the file");
  if (auto database = check.String(root, "database")) {
    config.database = *database;
  } else if (root.get("database") == nullptr) {
    check.Error(toml::source_region{.begin = {1, 1}, .end = {1, 1}, .path = {}},
                "'database' is missing: the path of the journal");
  }
  if (auto listen = check.String(root, "listen")) {
    const auto colon = listen->rfind(':');
    const std::string port = colon == std::string::npos ? "" : listen->substr(colon + 1);
    if (colon == std::string::npos || colon == 0 || port.empty() ||
        port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
        std::stoul(port) > 65535) {
      check.Error(*root.get("listen"), "'listen' must be HOST:PORT, not '" + *listen + "'");
    } else {
      config.listen = *listen;
    }
  }
  ReadAccess(check, root, config);
  ReadWeb(check, root, config);
  ReadUplink(check, root, config);
  Settings& s = config.settings;
  check.Integer(root, "max_unpaid", s.maxUnpaid, 1, 1000);
  check.Integer(root, "offline_after", s.offlineAfter, 1, 100);
  check.Integer(root, "live_interval_ms", s.liveIntervalMs, 50, 10'000);
  check.Integer(root, "poll_interval_ms", s.pollIntervalMs, 0, 60'000);
  check.Integer(root, "totals_interval_ms", s.totalsIntervalMs, 1000, 86'400'000);
  check.Integer(root, "fallback_after_s", s.fallbackAfterS, 5, 86'400);
  if (const toml::node* lines = root.get("line")) {
    const toml::array* array = lines->as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
      check.Error(*lines, "'line' must be an array of tables ([[line]])");
    } else if (array->size() > kMaxLines) {
      check.Error(*lines, "at most 32 lines, not " + std::to_string(array->size()));
    } else {
      Seen seen;
      for (const toml::node& line : *array) {
        ReadLine(check, *line.as_table(), config, seen);
      }
    }
  } else {
    check.Error(toml::source_region{.begin = {1, 1}, .end = {1, 1}, .path = {}},
                "no line: add a [[line]] with 'device' or 'simulate'");
  }
  if (auto access = CheckAccess(config); access && root.get("listen") != nullptr) {
    check.Error(*root.get("listen"), *access);
  }
  loaded.errors = check.Take();
  if (loaded.errors.empty()) {
    loaded.config = std::move(config);
  }
  return loaded;
}

LoadedConfig LoadConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    LoadedConfig loaded;
    loaded.errors.push_back({.file = path, .message = "cannot read the file"});
    return loaded;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseConfig(text.str(), path);
}

Config SimulatedConfig(std::uint8_t dispensers, const std::string& database) {
  Config config;
  config.database = database;
  LineConfig line;
  line.simulate = dispensers;
  for (std::uint8_t addr = 1; addr <= dispensers; ++addr) {
    const std::string id = std::to_string(addr);
    line.pumps.push_back(
        {.id = id, .name = "Pump " + id, .addr = addr, .price = 1.85, .product = "diesel"});
  }
  config.lines.push_back(std::move(line));
  return config;
}

}  // namespace tarvenix::forecourt
