#include "host/lists/smtp_conn_config.h"

#include <gtest/gtest.h>

#include <thread>

#include "host/base/clock.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::captureLog;
using keelgate_test::TempDir;

const time_t kNow = 1700000000;

class SmtpConnConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = &captureLog();
    KELP::Clock::freezeAt(kNow);
    SmtpConnConfig::smtpConnIPBaseRule.clear();
    SmtpConnConfig::smtpConnSenderBaseRule.clear();
  }
  void TearDown() override { KELP::Clock::thaw(); }

  void writeIni(const std::string& keys) {
    home_.write("config/kelp.ini", "[kelp_manager]\nscanner_id = 1\n[smtp_traffic_throttling]\n" + keys);
  }
  void writeList(const std::string& name, const std::string& text) {
    home_.write("config/throttling/" + name, text);
  }
  std::string listPath(const std::string& name) const {
    return (home_ / "config/throttling/" + name);
  }
  int ip(std::string address, int kind = 1) { return config_.getIPInfo(address, kind); }
  int sender(std::string address) { return config_.getSenderInfo(address); }

  TempDir home_;
  keelgate_test::CaptureSink* log_ = nullptr;
  SmtpConnConfig config_{home_.path()};
};

// ---- settings of kelp.ini ----

TEST_F(SmtpConnConfigTest, GivenValuesAreReadAndRelativePathsTakenUnderHome) {
  writeIni(
      "enable = off\nip_conn_enable = YES\nip_msg_enable = 1\nip_interval = 0\n"
      "ip_conn_limit = 5\nip_msg_limit = 6\nip_block_time = 7\nsender_enable = True\n"
      "sender_interval = 2147483647\nsender_msg_limit = 8\nsender_block_time = 9\n"
      "blocked_log_interval = 60\nblocked_log_path = /var/log/kelp\n"
      "traffic_log_path = data/traffic\nldf_file = my.ldf\nlog_level = DeBuG\n"
      "ip_blocked_action = action=554 go away\nsmtp_agent_port = 65536\n");
  ASSERT_TRUE(config_.init()) << log_->all();
  EXPECT_FALSE(config_.enable);
  const SmtpConnIPBaseRule& r = SmtpConnConfig::smtpConnIPBaseRule;
  EXPECT_TRUE(r.ConnBaseIPConnEnable && r.ConnBaseIPMsgEnable);
  EXPECT_EQ(0, r.interval);
  EXPECT_EQ(5 * 100 + 6 * 10 + 7, r.connLimit * 100 + r.msgLimit * 10 + r.blockTime);
  const SmtpConnSenderBaseRule& s = SmtpConnConfig::smtpConnSenderBaseRule;
  EXPECT_TRUE(s.SenderBaseEnable);
  EXPECT_EQ(2147483647, s.interval);
  EXPECT_EQ(89, s.msgLimit * 10 + s.blockTime);
  EXPECT_EQ(60, config_.blockedLogInterval);
  EXPECT_EQ("/var/log/kelp", config_.blockedLogPath);
  EXPECT_EQ(home_.path() + "/data/traffic", config_.trafficLogPath);
  EXPECT_EQ(home_.path() + "/my.ldf", config_.ldfFile);
  EXPECT_EQ("debug", config_.logLevel);
  EXPECT_EQ("action=554 go away", config_.ipBlockedAction);
  EXPECT_EQ(65536, config_.settings()->smtpAgentPort) << "a port outside the TCP range still loads";
  writeIni("");
  ASSERT_TRUE(config_.init());
  EXPECT_EQ(home_.path() + "/log", config_.blockedLogPath) << "the default paths lie under home too";
  EXPECT_EQ(home_.path() + "/config/smtp_conn_blocked.ldf", config_.ldfFile);
}

TEST_F(SmtpConnConfigTest, UnreadableValueFailsTheLoadNamingFileKeyAndValue) {
  const struct { const char* label; const char* key; const char* value; } cases[] = {
      {"bool word", "enable", "maybe"},
      {"trailing garbage", "ip_interval", "60s"},
      {"negative interval", "sender_interval", "-1"},
      {"sign", "ip_msg_limit", "+5"},
      {"past int range", "ip_block_time", "2147483648"},
      {"negative port", "smtp_agent_port", "-1"},
      {"answer without action=", "ip_blocked_action", "421 too much"},
      {"answer with case", "sender_blocked_action", "ACTION=450 slow down"},
      {"empty answer", "sender_blocked_action", "action="},
      {"empty path", "blocked_log_path", ""},
      {"prefix with slash", "traffic_log_prefix", "a/b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    log_->clear();
    SmtpConnConfig::smtpConnIPBaseRule.clear();
    config_.enable = true;
    writeIni(std::string("ip_conn_enable = yes\nip_interval = 60\n") + c.key + " = " + c.value + "\n");
    EXPECT_FALSE(config_.init());
    EXPECT_FALSE(config_.enable);
    EXPECT_FALSE(SmtpConnConfig::smtpConnIPBaseRule.ConnBaseIPConnEnable) << "records stay cleared";
    EXPECT_EQ(0, SmtpConnConfig::smtpConnIPBaseRule.interval);
    EXPECT_EQ(1u, log_->count(1, "SMTP Traffic Throttling config [" + (home_ / "config/kelp.ini") + "]: bad value [" +
                                     c.value + "] for key [" + c.key + "]"))
        << log_->all();
  }
}

TEST_F(SmtpConnConfigTest, MissingKelpIniFailsWithALogLine) {
  config_.enable = true;
  EXPECT_FALSE(config_.init());
  EXPECT_FALSE(config_.enable);
  EXPECT_EQ(1u, log_->count(1, "SMTP Traffic Throttling config [" + (home_ / "config/kelp.ini") + "]: cannot read it"));
}

TEST_F(SmtpConnConfigTest, UnknownLevelWordReadsAsNormalAndUnknownKeyIsLogged) {
  writeIni("log_level = verbose\nip_conn_enabled = yes\n");
  ASSERT_TRUE(config_.init());
  EXPECT_EQ("normal", config_.logLevel);
  EXPECT_EQ(1u, log_->count(1, "unknown level [verbose]"));
  EXPECT_EQ(1u, log_->count(1, "unknown key [ip_conn_enabled] ignored"));
}

// ---- list files ----

TEST_F(SmtpConnConfigTest, MalformedListLineIsLoggedWithFileAndLineAndSkipped) {
  const struct { const char* label; const char* list; const char* line; const char* problem; } cases[] = {
      {"prefix too long", "blocked_ip", "10.0.0.0/33", "bad prefix length"},
      {"prefix leading zero", "blocked_ip", "10.0.0.0/08", "bad prefix length"},
      {"host bits", "blocked_ip", "10.1.2.0/8", "bits set below the prefix length"},
      {"octet range", "approved_ip", "10.0.0.256", "not an IPv4 address"},
      {"ipv6 block", "blocked_ip", "2001:db8::/32", "not an IPv4 address"},
      {"word expiration", "blocked_ip", "10.0.0.9 soon", "expiration is not a whole number"},
      {"negative expiration", "blocked_sender", "a@b.example -5", "expiration is not a whole number"},
      {"three fields", "blocked_ip", "10.0.0.9 1 2", "more than two fields"},
      {"approved with expiration", "approved_ip", "10.0.0.9 1800000000", "take no expiration"},
      {"no at", "approved_sender", "postmaster", "not an address, @domain or <>"},
      {"empty domain", "blocked_sender", "user@", "not an address, @domain or <>"},
  };
  writeIni("");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    log_->clear();
    bool ipList = std::string(c.list).find("_ip") != std::string::npos;
    std::string first = ipList ? "192.0.2.1\n" : "first@ok.example\n";
    std::string last = ipList ? "192.0.2.3\n" : "last@ok.example\n";
    writeList(c.list, first + c.line + "\n" + last);
    ASSERT_TRUE(config_.init());
    keelgate_test::LogLines lines = log_->at(1);
    ASSERT_EQ(1u, lines.size()) << log_->all();
    EXPECT_EQ(0u, lines[0].text.find("throttling list [" + listPath(c.list) + "] line 2: ")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].text.find(c.problem)) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].text.find(std::string("[") + c.line + "]")) << lines[0];
    bool approved = std::string(c.list).find("approved") == 0;
    if (ipList)
      EXPECT_EQ(approved ? 5 : 3, ip("192.0.2.3")) << "the rest of the list still loads";
    else
      EXPECT_EQ(approved ? 9 : 7, sender("last@ok.example")) << "the rest of the list still loads";
    home_.remove("config/throttling/" + std::string(c.list));
  }
}

TEST_F(SmtpConnConfigTest, CommentsBlanksAndLineEndings) {
  writeIni("");
  writeList("blocked_ip",
            "# 192.0.2.1\n\n   \t\n192.0.2.2 # trailing\n192.0.2.3#no blank\r\n\t192.0.2.4\t1800000000  \n"
            "192.0.2.5");
  ASSERT_TRUE(config_.init());
  EXPECT_EQ(0u, log_->count(1, "throttling list [")) << log_->all();
  const struct { const char* address; int want; } cases[] = {
      {"192.0.2.1", 6}, {"192.0.2.2", 3}, {"192.0.2.3", 3}, {"192.0.2.4", 3}, {"192.0.2.5", 3},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, ip(c.address)) << c.address;
}

// ---- IP lookups ----

TEST_F(SmtpConnConfigTest, IPLookupAnswers) {
  writeIni("");
  writeList("approved_ip", "198.51.100.0/24\n");
  writeList("blocked_ip",
            "10.0.0.0/16 1700000000\n"  // expires this very second
            "10.0.1.0/24 1700000001\n"  // holds one second more
            "10.0.2.0/24 1699999999\n"  // the longer prefix has expired, the /16 too
            "172.16.0.0/12\n"
            "198.51.100.7\n"            // also approved
            "0.0.0.0/0 1\n");           // everything else: long expired
  ASSERT_TRUE(config_.init());
  const struct { const char* label; const char* address; int want; } cases[] = {
      {"ipv6", "2001:db8::1", 2},
      {"empty", "", 1},
      {"octet 256", "10.0.1.256", 1},
      {"leading zero", "010.0.1.1", 1},
      {"leading blank", " 10.0.1.1", 1},
      {"with prefix", "10.0.1.1/32", 1},
      {"approval beats block", "198.51.100.7", 5},
      {"approved block", "198.51.100.200", 5},
      {"longest prefix holds", "10.0.1.9", 3},
      {"expired at its exact second", "10.0.7.7", 4},
      {"longest prefix expired", "10.0.2.9", 4},
      {"never expires", "172.31.255.255", 3},
      {"outside the /12", "172.32.0.0", 4},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, ip(c.address)) << c.label;
  KELP::Clock::freezeAt(kNow - 1);
  EXPECT_EQ(3, ip("10.0.7.7")) << "holds up to the second before its expiration";
  KELP::Clock::freezeAt(kNow + 1);
  EXPECT_EQ(4, ip("10.0.1.9")) << "expired at its expiration second";
}

TEST_F(SmtpConnConfigTest, AutomaticBlocksAnswerOnlyKind3) {
  writeIni("");
  writeList("approved_ip", "192.0.2.1\n");
  writeList("blocked_ip", "192.0.2.5 1700000000\n");
  ASSERT_TRUE(config_.init());
  config_.setAutoBlocks({
      {"192.0.2.1", "", 1, kNow + 60},
      {"192.0.2.2", "", 1, kNow + 60},
      {"192.0.2.3", "", 3, kNow + 1},
      {"192.0.2.4", "", 3, kNow},
      {"192.0.2.5", "", 1, kNow + 60},
      {"192.0.2.6", "x@y.example", 2, kNow + 60},
  });
  const struct { const char* label; const char* address; int kind1, kind3; } cases[] = {
      {"approval beats automatic block", "192.0.2.1", 5, 5},
      {"type 1 holds", "192.0.2.2", 6, 3},
      {"type 3 holds", "192.0.2.3", 6, 3},
      {"expired at its exact second", "192.0.2.4", 6, 4},
      {"list expired, automatic holds", "192.0.2.5", 4, 3},
      {"sender block is no IP block", "192.0.2.6", 6, 6},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.kind1, ip(c.address, 1)) << c.label;
    EXPECT_EQ(c.kind3, ip(c.address, 3)) << c.label;
  }
}

// ---- sender lookups ----

TEST_F(SmtpConnConfigTest, SenderLookupAnswers) {
  writeIni("");
  writeList("approved_sender", "Boss@Partner.Example\n@friends.example\n");
  writeList("blocked_sender",
            "spam@example.com\n"
            "@bad.example 1700000000\n"     // expires this very second
            "chief@bad.example\n"           // the address beats its expired domain
            "boss@partner.example\n"        // also approved
            "@friends.example\n"            // also approved
            "<> 1700000001\n");
  ASSERT_TRUE(config_.init());
  config_.setAutoBlocks({{"", "auto@x.example", 2, kNow + 1},
                         {"", "old@x.example", 2, kNow},
                         {"", "anyone@bad.example", 2, kNow + 60},
                         {"192.0.2.9", "ip@x.example", 1, kNow + 60}});
  const struct { const char* label; const char* sender; int want; } cases[] = {
      {"blocked address", "spam@example.com", 7},
      {"case ignored", "SPAM@Example.COM", 7},
      {"other address of the domain", "ham@example.com", 10},
      {"longer domain", "spam@example.com.evil", 10},
      {"domain expired at its exact second", "x@bad.example", 8},
      {"address beats domain", "CHIEF@bad.example", 7},
      {"subdomain not included", "x@sub.bad.example", 10},
      {"approved address beats block", "boss@PARTNER.example", 9},
      {"approved domain beats block", "x@friends.example", 9},
      {"null sender", "", 7},
      {"null sender written <>", "<>", 7},
      {"no at", "example.com", 10},
      {"automatic block holds", "Auto@x.example", 7},
      {"automatic block expired", "old@x.example", 8},
      {"list expired, automatic holds", "anyone@bad.example", 7},
      {"IP block is no sender block", "ip@x.example", 10},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, sender(c.sender)) << c.label;
  KELP::Clock::freezeAt(kNow - 1);
  EXPECT_EQ(7, sender("x@bad.example")) << "holds up to the second before its expiration";
  KELP::Clock::freezeAt(kNow + 1);
  EXPECT_EQ(8, sender("")) << "expired at its expiration second";
}

// ---- reload ----

TEST_F(SmtpConnConfigTest, ReloadReplacesListsAndAFailedReloadKeepsThem) {
  writeIni("");
  writeList("blocked_ip", "192.0.2.1\n");
  writeList("blocked_sender", "a@example.com\n");
  ASSERT_TRUE(config_.init());
  writeList("blocked_ip", "192.0.2.2\n");
  home_.remove("config/throttling/blocked_sender");
  ASSERT_TRUE(config_.init());
  EXPECT_EQ(6, ip("192.0.2.1"));
  EXPECT_EQ(3, ip("192.0.2.2"));
  EXPECT_EQ(10, sender("a@example.com")) << "a removed file is an empty list";

  writeIni("enable = perhaps\n");
  writeList("blocked_ip", "192.0.2.3\n");
  EXPECT_FALSE(config_.init());
  EXPECT_FALSE(config_.enable);
  EXPECT_EQ(3, ip("192.0.2.2")) << "the last good lists stay";
  EXPECT_EQ(6, ip("192.0.2.3"));
}

// Lookups and reads of the rules and settings on another thread while the
// accepting thread reloads. Its point is to run under ThreadSanitizer: every
// shared read must be an atomic or go through a published snapshot.
TEST_F(SmtpConnConfigTest, ReadsOnOtherThreadsDuringReload) {
  writeIni("ip_conn_enable = yes\n");
  writeList("blocked_ip", "192.0.2.1\n");
  ASSERT_TRUE(config_.init());
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!done.load()) {
      int answer = ip("192.0.2.1");
      if (answer != 3 && answer != 6) ++bad;
      if (!SmtpConnConfig::smtpConnIPBaseRule.ConnBaseIPConnEnable || !config_.enable) ++bad;
      if (config_.settings()->ipBlockedAction.compare(0, 7, "action=") != 0) ++bad;
    }
  });
  for (int i = 0; i < 40; ++i) {
    writeList("blocked_ip", i % 2 ? "192.0.2.1\n" : "192.0.2.2\n");
    EXPECT_TRUE(config_.init());
  }
  done = true;
  reader.join();
  EXPECT_EQ(0, bad.load());
}

}  // namespace
