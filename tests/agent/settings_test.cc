// The agent's settings: defaults, and every value that cannot be used fails
// the load with a log line naming the file, the section, the key and the
// value.
#include <gtest/gtest.h>

#include <string>

#include "agent/agent_settings.h"
#include "tests/unit/capture_log.h"

namespace {

// kelp.ini ("-": no file at all), whether it loads, and a part of the log when it does not.
struct SettingsCase { const char* name; std::string kelpIni; bool loads; const char* logged; };

const SettingsCase kCases[] = {
    {"a missing section keeps the defaults", "[kelp_manager]\nscanner_id = 3\n", true, ""},
    {"no kelp.ini", "-", false, "kelp.ini] cannot be read: No such file or directory"},
    {"an interval of 0", "[smtp_agent]\nstore_interval = 0\n", false,
     "section [smtp_agent]: bad value [0] for key [store_interval], expected a whole number from 1 to 86400"},
    {"a word for a number", "[smtp_agent]\nexpire_interval = ten\n", false, "bad value [ten] for key [expire_interval]"},
    {"max_keys too large", "[smtp_agent]\nmax_keys = 100000001\n", false, "bad value [100000001] for key [max_keys]"},
    {"a host name to listen on", "[smtp_agent]\nlisten = localhost\n", false, "bad value [localhost] for key [listen]"},
    {"nothing to listen on", "[smtp_agent]\nlisten =\n", false, "bad value [] for key [listen]"},
    {"a prefix too long", "[smtp_agent]\nchildren = 10.0.0.0/8 192.0.2.0/33\n", false,
     "bad value [10.0.0.0/8 192.0.2.0/33] for key [children]"},
    {"metrics without port", "[smtp_agent]\nmetrics = 127.0.0.1\n", false, "bad value [127.0.0.1] for key [metrics]"},
    {"a scanner id of 0", "[kelp_manager]\nscanner_id = 0\n", false,
     "section [kelp_manager]: bad value [0] for key [scanner_id]"},
    {"an agent port past 65535", "[smtp_traffic_throttling]\nsmtp_agent_port = 70000\n", false,
     "bad value [70000] for key [smtp_agent_port]"},
    {"a bad rule value", "[smtp_traffic_throttling]\nip_conn_limit = -1\n", false, "[ip_conn_limit]"},
};

TEST(SettingsTest, Cases) {
  keelgate_test::TempDir home;
  for (const SettingsCase& c : kCases) {
    SCOPED_TRACE(c.name);
    home.remove("config/kelp.ini");
    if (c.kelpIni != "-") home.write("config/kelp.ini", c.kelpIni);
    keelgate_test::CaptureSink& log = keelgate_test::captureLog(KELP::LOG_NORMAL);
    agent::AgentSettings s;
    EXPECT_EQ(agent::loadAgentSettings(home.path(), s), c.loads);
    EXPECT_NE(log.all().find(c.logged), std::string::npos) << log.all();
    if (c.loads) {  // the listening defaults are the ones the end-to-end tests connect to
      EXPECT_EQ(s.maxKeys, 1000000);
      EXPECT_TRUE(s.parent);
    }
  }
}

TEST(SettingsTest, ChildrenLetTheirAddressesIn) {
  agent::Cidr block;
  ASSERT_TRUE(agent::parseCidr("192.0.2.0/25", block));
  agent::PeerFilter filter({block});
  agent::IpAddress a;
  for (const char* in : {"127.0.0.1", "127.8.0.1", "::1", "::ffff:127.0.0.1", "192.0.2.127", "::ffff:192.0.2.1"})
    EXPECT_TRUE(agent::parseIpAddress(in, a) && filter.allows(a)) << in;
  for (const char* out : {"192.0.2.128", "10.0.0.1", "2001:db8::1", "::2"})
    EXPECT_TRUE(agent::parseIpAddress(out, a) && !filter.allows(a)) << out;
}

}  // namespace
