#include "host/tls/tls_policy_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <iterator>
#include <string>
#include <vector>

#include "host/base/clock.h"
#include "host/log/log.h"
#include "tests/unit/capture_log.h"

namespace {

const char kPolicies[] =
    "[default]\n"
    "level = encrypt\n"
    "cipher = high\n"
    "[policy wide]\n"
    "clients = 10.0.0.0/8 2001:db8::/32\n"
    "domains = .example.com\n"
    "[policy narrow]\n"
    "level = verify\n"
    "clients = 10.1.0.0/16 2001:db8:1::/48\n"
    "domains = .bank.example.com\n"
    "[policy host]\n"
    "level = none\n"
    "clients = 10.1.2.3 2001:db8:1::7\n"
    "domains = bank.example.com\n"
    "[policy later]\n"
    "clients = 10.1.0.0/16 192.0.2.0/24\n"
    "domains = bank.example.com\n";

class TLSPolicyConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = &keelgate_test::captureLog();
  }
  void TearDown() override { KELP::Clock::thaw(); }
  std::string path() const { return dir_ / "config/tls_policy.ini"; }
  void writeIni(const std::string& text) { ASSERT_TRUE(dir_.write("config/tls_policy.ini", text)); }
  // Name of the policy a lookup stores, or "unchanged" when the record is untouched.
  std::string lookup(TLSPolicyConfig& c, std::string key, bool byClient, bool& matched) {
    TLSPolicy p{"unchanged", "", ""};
    matched = c.getTLSPolicy(key, p, byClient);
    return p.name;
  }
  bool logged(const std::string& piece) const {
    return log_->count(KELP::LOG_NORMAL, piece) > 0;
  }
  keelgate_test::TempDir dir_;
  std::string home_ = dir_.path();
  keelgate_test::CaptureSink* log_ = nullptr;
};

struct Case {
  const char* label;
  const char* key;
  const char* policy;
  bool matched;
};

TEST_F(TLSPolicyConfigTest, ClientLookupTakesLongestPrefixThenFileOrder) {
  writeIni(kPolicies);
  TLSPolicyConfig c(TLS_POLICY_INBOUND, home_);
  ASSERT_TRUE(c.init());
  const Case cases[] = {
      {"exact v4 address beats blocks", "10.1.2.3", "host", true},
      {"/16 beats /8", "10.1.2.4", "narrow", true},
      {"/8 alone", "10.200.0.1", "wide", true},
      {"equal prefixes: first in file", "10.1.9.9", "narrow", true},
      {"block listed once, late", "192.0.2.200", "later", true},
      {"exact v6 address", "2001:db8:1::7", "host", true},
      {"v6 upper-case hex", "2001:DB8:1::7", "host", true},
      {"/48 beats /32", "2001:db8:1::8", "narrow", true},
      {"/32 alone", "2001:db8:ffff::1", "wide", true},
      {"v4-mapped v6 reaches v4 entries", "::ffff:10.1.2.3", "host", true},
      {"no v4 match leaves record", "11.0.0.1", "unchanged", false},
      {"no v6 match leaves record", "2001:db9::1", "unchanged", false},
      {"unreadable key", "mail.example.com", "unchanged", false},
      {"key with a prefix length", "10.1.2.3/32", "unchanged", false},
      {"empty key", "", "unchanged", false},
  };
  for (const Case& k : cases) {
    bool matched = false;
    EXPECT_EQ(k.policy, lookup(c, k.key, true, matched)) << k.label;
    EXPECT_EQ(k.matched, matched) << k.label;
  }
}

TEST_F(TLSPolicyConfigTest, DomainLookupPrefersExactThenLongestSuffix) {
  writeIni(kPolicies);
  TLSPolicyConfig c(TLS_POLICY_INBOUND, home_);
  ASSERT_TRUE(c.init());
  const Case cases[] = {
      {"exact beats subdomain entries, first in file", "bank.example.com", "host", true},
      {"case-insensitive", "BANK.Example.COM", "host", true},
      {"longest suffix wins", "a.bank.example.com", "narrow", true},
      {"deep subdomain", "x.y.bank.example.com", "narrow", true},
      {"shorter suffix", "shop.example.com", "wide", true},
      {"subdomain entry skips bare domain", "example.com", "default", false},
      {"suffix only at a label boundary", "notexample.com", "default", false},
      {"unknown domain", "other.test", "default", false},
      {"empty domain", "", "default", false},
  };
  for (const Case& k : cases) {
    bool matched = false;
    EXPECT_EQ(k.policy, lookup(c, k.key, false, matched)) << k.label;
    EXPECT_EQ(k.matched, matched) << k.label;
  }
  TLSPolicy p;
  std::string key = "other.test";
  c.getTLSPolicy(key, p, false);
  EXPECT_EQ("encrypt", p.level) << "no match fills the record with [default]";
  EXPECT_EQ("high", p.cipher);
}

TEST_F(TLSPolicyConfigTest, MissingDefaultAndMissingKeys) {
  writeIni("[policy bare]\nclients = 192.0.2.1\n");
  TLSPolicyConfig c(TLS_POLICY_INBOUND, home_);
  ASSERT_TRUE(c.init());
  EXPECT_EQ("default", c.defaultPolicy().name);
  EXPECT_EQ("may", c.defaultPolicy().level);
  EXPECT_EQ("medium", c.defaultPolicy().cipher);
  TLSPolicy p;
  std::string key = "192.0.2.1";
  ASSERT_TRUE(c.getTLSPolicy(key, p, true));
  EXPECT_EQ("may", p.level);
  EXPECT_EQ("medium", p.cipher);
  EXPECT_TRUE(log_->at(KELP::LOG_NORMAL).empty());
}

TEST_F(TLSPolicyConfigTest, ListsSplitOnBlanksAndCommasAndRepeatedLinesAddUp) {
  writeIni("[policy lists]\nclients = 192.0.2.1,192.0.2.2\t192.0.2.3\nclients = 192.0.2.4\n"
           "domains = a.example, b.example\ndomains = c.example\n");
  TLSPolicyConfig c(TLS_POLICY_INBOUND, home_);
  ASSERT_TRUE(c.init());
  bool matched = false;
  for (const char* key : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "a.example", "b.example", "c.example"})
    EXPECT_EQ("lists", lookup(c, key, key[0] == '1', matched)) << key;
  EXPECT_TRUE(log_->at(KELP::LOG_NORMAL).empty());
}

TEST_F(TLSPolicyConfigTest, ProblemsAreLoggedAndTheRestLoads) {
  writeIni(
      "[default]\nlevel = mandatory\n"
      "[policy odd]\nlevel = Verify\ncipher = low\ncolour = red\n"
      "clients = 192.0.2.1 300.1.1.1 10.0.0.0/33 2001:db8::/129 fe80::1%eth0 192.0.2.0/ "
      "198.51.100.9/24\n"
      "domains = . good.example\n"
      "junk line\n"
      "[policy other]\nclients = 192.0.2.1\n"
      "[misc]\nkey = 1\n");
  TLSPolicyConfig c(TLS_POLICY_INBOUND, home_);
  ASSERT_TRUE(c.init());
  EXPECT_EQ(2u, c.size());
  EXPECT_EQ("mandatory", c.defaultPolicy().level) << "unknown level kept as written";
  TLSPolicy p;
  std::string key = "198.51.100.1";  // host bits of the block are ignored
  ASSERT_TRUE(c.getTLSPolicy(key, p, true));
  EXPECT_EQ("verify", p.level) << "known words read in any case";
  EXPECT_EQ("low", p.cipher) << "unknown cipher kept as written";
  key = "GOOD.example";
  EXPECT_TRUE(c.getTLSPolicy(key, p, false));
  const std::string file = "TLS policy file [" + path() + "] section ";
  const char* const expected[] = {
      "[default]: unknown level [mandatory], taken as TLS required",
      "[policy odd]: unknown cipher [low], taken as medium or better",
      "[policy odd]: unknown key [colour], ignored",
      "[policy odd]: unreadable client address [300.1.1.1], skipped",
      "[policy odd]: unreadable client address [10.0.0.0/33], skipped",
      "[policy odd]: unreadable client address [2001:db8::/129], skipped",
      "[policy odd]: unreadable client address [fe80::1%eth0], skipped",
      "[policy odd]: unreadable client address [192.0.2.0/], skipped",
      "[policy odd]: empty domain entry [.], skipped",
      "[policy other]: client [192.0.2.1], already listed by policy [odd], kept there",
      "[misc]: section [misc], not [default] or [policy NAME], ignored",
  };
  for (const char* e : expected) EXPECT_TRUE(logged(file + e)) << e;
  EXPECT_TRUE(logged("line 9: not a section or key = value line"));
  EXPECT_EQ(std::size(expected) + 1, log_->at(KELP::LOG_NORMAL).size());
}

TEST_F(TLSPolicyConfigTest, ReloadReplacesTablesWhole) {
  writeIni("[policy first]\nclients = 192.0.2.1\ndomains = a.example\n");
  TLSPolicyConfig c(TLS_POLICY_OUTBOUND, home_);
  ASSERT_TRUE(c.init());
  writeIni("[default]\nlevel = none\n[policy second]\nclients = 192.0.2.2\n");
  ASSERT_TRUE(c.reload());
  bool matched = false;
  EXPECT_EQ("unchanged", lookup(c, "192.0.2.1", true, matched)) << "old entries are gone";
  EXPECT_EQ("second", lookup(c, "192.0.2.2", true, matched));
  EXPECT_EQ("default", lookup(c, "a.example", false, matched));
  EXPECT_EQ("none", c.defaultPolicy().level);
  unlink(path().c_str());
  EXPECT_FALSE(c.reload());
  EXPECT_EQ(0u, c.size());
  EXPECT_EQ("may", c.defaultPolicy().level) << "an unreadable file leaves the built-in default";
  EXPECT_TRUE(logged("TLS policy file [" + path() +
                     "] cannot be read: No such file or directory, only the default policy applies"));
}

// Twenty workers reload at once: a file left as it was is not parsed again,
// unless it changed so recently that an equal stamp proves nothing.
TEST_F(TLSPolicyConfigTest, ReloadReadsTheFileOnlyWhenItMayHaveChanged) {
  writeIni("[policy a]\nclients = 192.0.2.1\n");
  struct stat st;
  ASSERT_EQ(0, stat(path().c_str(), &st));
  const std::string kept = "TLS policy file [" + path() + "] unchanged since it was loaded, kept";
  TLSPolicyConfig c(TLS_POLICY_INBOUND, home_);
  KELP::Clock::freezeAt(st.st_mtim.tv_sec);
  ASSERT_TRUE(c.init());
  ASSERT_TRUE(c.reload());
  EXPECT_EQ(0u, log_->count(KELP::LOG_DEBUG, kept)) << "just changed: read again";

  KELP::Clock::freezeAt(st.st_mtim.tv_sec + 60);
  ASSERT_TRUE(c.reload());
  ASSERT_TRUE(c.reload());
  EXPECT_EQ(1u, log_->count(KELP::LOG_DEBUG, kept));
  bool matched = false;
  EXPECT_EQ("a", lookup(c, "192.0.2.1", true, matched));

  writeIni("[policy bb]\nclients = 192.0.2.1\n");
  ASSERT_TRUE(c.reload());
  EXPECT_EQ("bb", lookup(c, "192.0.2.1", true, matched)) << "a rewritten file is read";
  unlink(path().c_str());
  EXPECT_FALSE(c.reload()) << "a removed file is noticed";
}

TEST_F(TLSPolicyConfigTest, EmptyHomeFallsBackToEnvironment) {
  writeIni("[policy env]\nclients = 192.0.2.1\n");
  keelgate_test::ScopedEnv env("KELP_HOME", home_);
  TLSPolicyConfig c(TLS_POLICY_INBOUND);
  ASSERT_TRUE(c.init());
  bool matched = false;
  EXPECT_EQ("env", lookup(c, "192.0.2.1", true, matched));
}

}  // namespace
