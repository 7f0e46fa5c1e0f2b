// Configuration files: a good one, and one table of mistakes, each with its
// own message at its own place.
#include "forecourt/config.hpp"

#include <gtest/gtest.h>

namespace tarvenix::forecourt {
namespace {

TEST(ConfigTest, ReadsAWholeFile) {
  const auto loaded = ParseConfig(R"(
database = "/var/lib/tarvenixd/journal.db"
listen = "0.0.0.0:9000"
max_unpaid = 3
offline_after = 5
live_interval_ms = 250
tls_certificate = "/etc/tarvenixd/cert.pem"
tls_key = "/etc/tarvenixd/key.pem"
static_dir = "/usr/share/tarvenixd/www"

[[token]]
value = "pos-0123456789abcdef"
role = "control"
[[token]]
value = "ops-0123456789abcdef"
role = "admin"

[[line]]
device = "/dev/ttyUSB0"
baud = 9600
[[line.pump]]
id = "A"
address = 2
name = "Island A"
start_mode = 2
totals_scale = 1000
price = 52.90
product = "diesel"
fallback = "auto"
fallback_preset = { money = 50 }

[[line]]
simulate = 2
flow = 60
match_echo = true
)",
                                  "forecourt.toml");
  ASSERT_TRUE(loaded.config) << loaded.errors.front().Text();
  const Config& c = *loaded.config;
  EXPECT_EQ(c.listen, "0.0.0.0:9000");
  ASSERT_EQ(c.tokens.size(), 2u);
  EXPECT_EQ(c.tokens[1].role, Role::kAdmin);
  EXPECT_EQ(c.tlsKey, "/etc/tarvenixd/key.pem");
  EXPECT_EQ(c.staticDir, "/usr/share/tarvenixd/www");
  EXPECT_EQ(c.settings.maxUnpaid, 3u);
  EXPECT_EQ(c.settings.offlineAfter, 5u);
  ASSERT_EQ(c.lines.size(), 2u);
  EXPECT_EQ(c.lines[0].baud, 9600u);
  const PumpConfig& a = c.lines[0].pumps.at(0);
  EXPECT_EQ(a.addr, 2);
  EXPECT_EQ(a.startMode, 2);
  EXPECT_EQ(a.totalsSelector, 1);
  EXPECT_EQ(a.totalsScale, 1000);
  EXPECT_EQ(a.price, 52.90);
  EXPECT_EQ(a.product, "diesel");
  EXPECT_EQ(a.fallback, FallbackMode::kAuto);
  EXPECT_EQ(a.fallbackKind, PresetKind::kMoney);
  EXPECT_EQ(a.fallbackPreset, 50);
  EXPECT_EQ(c.settings.fallbackAfterS, 120u);
  ASSERT_EQ(c.lines[1].pumps.size(), 2u);
  EXPECT_EQ(c.lines[1].pumps[1].id, "2-2");
  EXPECT_FALSE(c.lines[0].matchEcho);
  EXPECT_TRUE(c.lines[1].matchEcho);
}

TEST(ConfigTest, EachMistakeHasItsMessageAndPlace) {
  struct Case {
    std::string text;
    std::string message;
    std::uint32_t line;
  };
  const std::string head = "database = \"j.db\"\n";
  const std::string sim = "[[line]]\nsimulate = 2\n";
  const std::vector<Case> cases = {
      {"database = \"j.db\"\nmax_unpaid = \n", "", 2},  // not TOML at all
      {sim, "'database' is missing", 1},
      {head, "no line", 1},
      {head + "max_unpaid = 0\n" + sim, "'max_unpaid' must lie in 1..1000", 2},
      {head + "max_unpaid = \"2\"\n" + sim, "'max_unpaid' must be an integer", 2},
      {head + "offline_afterr = 3\n" + sim, "unknown key 'offline_afterr'", 2},
      {head + "listen = \"localhost\"\n" + sim, "'listen' must be HOST:PORT", 2},
      {head + "[[line]]\n", "either 'device' or 'simulate', not neither", 2},
      {head + "[[line]]\ndevice = \"/dev/x\"\nsimulate = 1\n", "not both", 2},
      {head + "[[line]]\nsimulate = 33\n", "'simulate' must lie in 1..32", 3},
      {head + "[[line]]\nsimulate = 1\nmatch_echo = 1\n", "'match_echo' must be true or false", 4},
      {head + "[[line]]\ndevice = \"/dev/x\"\n", "at least one pump", 2},
      {head + "[[line]]\nsimulate = 1\n[[line.pump]]\nid = \"1\"\naddress = 2\n",
       "beyond the 1 simulated dispensers", 2},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 33\n",
       "'address' must lie in 1..32", 6},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\n", "needs an 'address'",
       4},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\naddress = 1\n", "needs an 'id'", 4},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "[[line.pump]]\nid = \"1\"\naddress = 1\n",
       "pump id '1' is used twice", 8},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "[[line.pump]]\nid = \"2\"\naddress = 1\n",
       "two pumps of the line at address 1", 9},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "price = 120.0\n",
       "'price' must lie in (0, 99.99]", 7},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "price = 1.855\n",
       "'price': prices go in hundredths: 1.85 or 1.86", 7},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "totals_scale = 0\n",
       "'totals_scale' must lie in (0,", 7},
      {head + "line = 3\n", "'line' must be an array of tables", 2},
      {head + "listen = \"0.0.0.0:80\"\n" + sim, "needs at least one [[token]]", 2},
      {head + sim + "[[token]]\nvalue = \"0123456789abcdef\"\nrole = \"root\"\n",
       "'role' must be monitor, control or admin", 6},
      {head + sim + "[[token]]\nvalue = \"short\"\nrole = \"admin\"\n", "at least 16", 5},
      {head + sim + "[[token]]\nrole = \"admin\"\n", "needs 'value' and 'role'", 4},
      {head + "tls_key = \"k.pem\"\n" + sim, "both 'tls_certificate' and 'tls_key'", 2},
      {head + sim + "[[token]]\nvalue = \"0123456789abcdef\"\nrole = \"control\"\nname = \"\"\n",
       "'name' must not be empty", 7},
      {head + sim + "[[token]]\nvalue = \"0123456789abcdef\"\nrole = \"control\"\nname = \"t\"\n" +
           "[[token]]\nvalue = \"fedcba9876543210\"\nrole = \"control\"\nname = \"t\"\n",
       "two tokens are named 't'", 11},
      {head + "currency = \"euro\"\n" + sim, "three-letter code", 2},
      {head + "timezone = \"Europe/Atlantis\"\n" + sim, "no time zone 'Europe/Atlantis'", 2},
      {head + "timezone = \"../../etc/passwd\"\n" + sim, "not a time zone name", 2},
      {head + sim + "[web]\nvolume_presets = [10, -5]\n", "amounts above 0", 5},
      {head + sim + "[web]\nmoney_presets = 20\n", "list of at most 6", 5},
      {head + sim + "[web]\npresets = [1]\n", "unknown key 'presets' in [web]", 5},
      {head + "fallback_after_s = 1\n" + sim, "'fallback_after_s' must lie in 5..86400", 2},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "product = \"\"\n",
       "'product' must not be empty", 7},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "fallback = \"always\"\n",
       "'fallback' must be \"off\", \"attended\" or \"auto\"", 7},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "fallback = \"auto\"\n",
       "needs 'fallback_preset'", 7},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "fallback = \"auto\"\nfallback_preset = { volume = 10, money = 5 }\n",
       "must be { volume = N } or { money = N }", 8},
      {head + "[[line]]\ndevice = \"/dev/x\"\n[[line.pump]]\nid = \"1\"\naddress = 1\n" +
           "fallback = \"auto\"\nfallback_preset = { volume = 10.05 }\n",
       "'fallback_preset': ", 8},
      {head + sim + "[uplink]\nenabled = true\n", "[uplink] needs a 'site'", 4},
      {head + sim + "[uplink]\nsite = \"a/#\"\n", "'site' must be 1..64 letters", 5},
      {head + sim + "[uplink]\nsite = \"all\"\n", "(and not \"all\")", 5},
      {head + sim + "[uplink]\nsite = \"s\"\nport = 0\n", "'port' must lie in 1..65535", 6},
      {head + sim + "[uplink]\nsite = \"s\"\nbroker = \"b\"\n", "unknown key 'broker'", 6},
      {head + sim + "[uplink]\nsite = \"s\"\ncert_file = \"c.pem\"\n",
       "both 'cert_file' and 'key_file'", 6},
      {head + sim + "[uplink]\nsite = \"s\"\nca_file = \"/nonexistent/ca.pem\"\n",
       "cannot read '/nonexistent/ca.pem'", 6},
      {head + sim + "[uplink]\nsite = \"s\"\npassword = \"p\"\n", "needs a 'username'", 6},
      {head + sim + "[uplink]\nsite = \"s\"\nallowed_commands = [\"prices\", \"authorize\"]\n",
       "may hold only \"prices\"", 6},
  };
  for (const Case& c : cases) {
    const auto loaded = ParseConfig(c.text, "f.toml");
    ASSERT_FALSE(loaded.config) << c.text;
    ASSERT_FALSE(loaded.errors.empty());
    const ConfigError& error = loaded.errors.front();
    EXPECT_NE(error.message.find(c.message), std::string::npos)
        << error.Text() << "\nexpected: " << c.message;
    EXPECT_EQ(error.line, c.line) << error.Text();
    EXPECT_EQ(error.file, "f.toml");
  }
  EXPECT_FALSE(LoadConfig("/nonexistent/forecourt.toml").errors.empty());
  // The uplink's defaults: off, a client id of its own, prices only.
  const auto uplink = ParseConfig(head + sim + "[uplink]\nsite = \"s-1\"\n", "f.toml");
  ASSERT_TRUE(uplink.config);
  EXPECT_FALSE(uplink.config->uplink.enabled);
  EXPECT_EQ(uplink.config->uplink.clientId, "tarvenix-s-1");
  EXPECT_EQ(uplink.config->uplink.allowedCommands, std::vector<std::string>{"prices"});
}

}  // namespace
}  // namespace tarvenix::forecourt
