#include "host/lists/smtp_conn_config.h"

#include <gtest/gtest.h>

#include <thread>

#include "host/base/clock.h"
#include "tests/unit/capture_log.h"

namespace {

const time_t kNow = 1700000000;

class SmtpConnConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = &keelgate_test::captureLog();
    KELP::Clock::freezeAt(kNow);
    writeIni("");
  }
  void TearDown() override { KELP::Clock::thaw(); }

  void writeIni(const std::string& keys) {
    home_.write("config/kelp.ini", "[kelp_manager]\nscanner_id = 1\n[smtp_traffic_throttling]\n" + keys);
  }
  void writeList(const std::string& name, const std::string& text) { home_.write("config/throttling/" + name, text); }
  int ip(std::string address, int kind = 1) { return config_.getIPInfo(address, kind); }
  // Each "<list>] line <n>: <problem>" logged once, and no other line skipped.
  void expectSkipped(const std::vector<std::string>& lines) {
    for (const std::string& l : lines)
      EXPECT_EQ(1u, log_->count(1, "throttling list [" + (home_ / "config/throttling/") + l)) << l;
    EXPECT_EQ(lines.size(), log_->count(1, ", line skipped [")) << log_->all();
  }

  keelgate_test::TempDir home_;
  keelgate_test::CaptureSink* log_ = nullptr;
  SmtpConnConfig config_{home_.path()};
};

TEST_F(SmtpConnConfigTest, KelpIniValues) {
  const struct { const char* label; const char* key; const char* value; bool ok; } cases[] = {
      {"bool word in any case", "ip_conn_enable", "YES", true},
      {"largest int", "sender_interval", "2147483647", true},
      {"unknown bool word", "enable", "maybe", false},
      {"trailing garbage", "ip_interval", "60s", false},
      {"sign", "ip_msg_limit", "+5", false},
      {"past int range", "ip_block_time", "2147483648", false},
      {"answer in other case", "sender_blocked_action", "ACTION=450 slow down", false},
      {"empty answer", "sender_blocked_action", "action=", false},
      {"empty path", "blocked_log_path", "", false},
      {"prefix with a slash", "traffic_log_prefix", "a/b", false},
  };
  for (const auto& c : cases) {
    log_->clear();
    writeIni(std::string(c.key) + " = " + c.value + "\n");
    EXPECT_EQ(c.ok, config_.init()) << c.label;
    EXPECT_EQ(c.ok ? 0u : 1u, log_->count(1, "SMTP Traffic Throttling config [" + (home_ / "config/kelp.ini") +
                                                 "] section [smtp_traffic_throttling]: bad value [" + c.value +
                                                 "] for key [" + c.key + "]"))
        << c.label << "\n" << log_->all();
  }
  writeIni("traffic_log_path = data/traffic ; a comment\nlog_level = \"DeBuG\"\nip_blocked_action = action=421 a;b\n");
  ASSERT_TRUE(config_.init());
  EXPECT_EQ(home_ / "data/traffic", config_.trafficLogPath);
  EXPECT_EQ(home_ / "log", config_.blockedLogPath) << "the default paths lie under home too";
  EXPECT_EQ("debug", config_.logLevel);
  EXPECT_EQ("action=421 a;b", config_.ipBlockedAction) << "a comment starts at a blank and ';'";

  // An answer that the 100-byte cut would leave without its end: kept, and said.
  for (size_t size : {98, 99}) {
    log_->clear();
    writeIni("sender_blocked_action = action=450 " + std::string(size - 11, 'x') + "\n");
    ASSERT_TRUE(config_.init());
    EXPECT_EQ(size - 98, log_->count(1, "the answer of key [sender_blocked_action] is 99 bytes")) << size;
  }
}

// The list answers, and kind 3 also the automatic blocks. A malformed line
// is logged and skipped, and the rest of its file still loads.
TEST_F(SmtpConnConfigTest, IPLookup) {
  writeList("approved_ip", "10.0.0.256\n10.0.0.9 1800000000\n198.51.100.0/24\n192.0.2.1\n");
  writeList("blocked_ip",
            "# 10.9.9.9\n\n   \t\n10.0.0.0/33\n10.1.2.0/8\n"
            "10.0.0.0/16 1700000000 # expires this very second\n"
            "10.0.1.0/24 1700000001\r\n"
            "\t10.0.2.0/24\t1699999999  \n"  // the longer prefix has expired, the /16 too
            "172.16.0.0/12\n198.51.100.7\n192.0.2.5 1700000000\n"
            "0.0.0.0/0 1");  // everything else: long expired
  ASSERT_TRUE(config_.init());
  expectSkipped({"approved_ip] line 1: not an IPv4 address or CIDR block, line skipped [10.0.0.256]",
                 "approved_ip] line 2: approved entries take no expiration, line skipped [10.0.0.9 1800000000]",
                 "blocked_ip] line 4: bad prefix length, line skipped [10.0.0.0/33]",
                 "blocked_ip] line 5: address has bits set below the prefix length, line skipped [10.1.2.0/8]"});
  config_.setAutoBlocks({{"192.0.2.1", "", 1, kNow + 60},
                         {"192.0.2.2", "", 1, kNow + 60},
                         {"192.0.2.3", "", 3, kNow + 1},
                         {"192.0.2.4", "", 3, kNow},
                         {"192.0.2.5", "", 1, kNow + 60},
                         {"192.0.2.6", "x@y.example", 2, kNow + 60}});
  const struct { const char* label; const char* address; int kind1, kind3; } cases[] = {
      {"ipv6", "2001:db8::1", 2, 2},
      {"leading zero", "010.0.1.1", 1, 1},
      {"approval beats block", "198.51.100.7", 5, 5},
      {"approval beats automatic block", "192.0.2.1", 5, 5},
      {"longest prefix holds", "10.0.1.9", 3, 3},
      {"expired at its exact second", "10.0.7.7", 4, 4},
      {"longest prefix expired", "10.0.2.9", 4, 4},
      {"never expires", "172.31.255.255", 3, 3},
      {"only the expired /0", "172.32.0.0", 4, 4},
      {"automatic type 1", "192.0.2.2", 4, 3},
      {"automatic type 3", "192.0.2.3", 4, 3},
      {"automatic block expired at its exact second", "192.0.2.4", 4, 4},
      {"list expired, automatic holds", "192.0.2.5", 4, 3},
      {"sender block is no IP block", "192.0.2.6", 4, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.kind1, ip(c.address, 1)) << c.label;
    EXPECT_EQ(c.kind3, ip(c.address, 3)) << c.label;
  }
  KELP::Clock::freezeAt(kNow - 1);
  EXPECT_EQ(3, ip("10.0.7.7")) << "holds up to the second before its expiration";
}

TEST_F(SmtpConnConfigTest, SenderLookup) {
  writeList("approved_sender", "user@\nBoss@Partner.Example\n@friends.example\n");
  writeList("blocked_sender",
            "a@b.example -5\nspam@example.com\n"
            "@bad.example 1700000000\n"  // expires this very second
            "chief@bad.example\n"        // the address beats its expired domain
            "boss@partner.example\n@friends.example\n<> 1700000001\n");
  ASSERT_TRUE(config_.init());
  expectSkipped({"approved_sender] line 1: not an address, @domain or <>, line skipped [user@]",
                 "blocked_sender] line 1: expiration is not a whole number of seconds since the epoch, line "
                 "skipped [a@b.example -5]"});
  config_.setAutoBlocks({{"", "auto@x.example", 2, kNow + 1},
                         {"", "old@x.example", 2, kNow},
                         {"", "anyone@bad.example", 2, kNow + 60},
                         {"192.0.2.9", "ip@x.example", 1, kNow + 60}});
  const struct { const char* label; std::string sender; int want; } cases[] = {
      {"case ignored", "SPAM@Example.COM", 7},
      {"other address of the domain", "ham@example.com", 10},
      {"domain expired at its exact second", "x@bad.example", 8},
      {"address beats domain", "CHIEF@bad.example", 7},
      {"subdomain not included", "x@sub.bad.example", 10},
      {"approved address beats block", "boss@PARTNER.example", 9},
      {"approved domain beats block", "x@friends.example", 9},
      {"null sender", "", 7},
      {"null sender written <>", "<>", 7},
      {"automatic block holds", "Auto@x.example", 7},
      {"automatic block expired", "old@x.example", 8},
      {"list expired, automatic holds", "anyone@bad.example", 7},
      {"IP block is no sender block", "ip@x.example", 10},
  };
  for (auto c : cases) EXPECT_EQ(c.want, config_.getSenderInfo(c.sender)) << c.label;
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
    writeList("blocked_ip", i % 2 ? "192.0.2.2\n" : "192.0.2.1\n");
    EXPECT_TRUE(config_.init());
  }
  done = true;
  reader.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_EQ(6, ip("192.0.2.1")) << "the last reload's lists answer";
  EXPECT_EQ(3, ip("192.0.2.2"));
}

}  // namespace
