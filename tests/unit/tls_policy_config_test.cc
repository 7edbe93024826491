#include "host/tls/tls_policy_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>

#include "host/base/clock.h"
#include "tests/unit/capture_log.h"

namespace {

// Lists split on blanks, tabs and commas; repeated lines add up.
const char kPolicies[] =
    "[default]\nlevel = encrypt\ncipher = high\n"
    "[policy wide]\nclients = 10.0.0.0/8\t2001:db8::/32\ndomains = .example.com\n"
    "[policy narrow]\nlevel = verify\nclients = 10.1.0.0/16 2001:db8:1::/48\ndomains = .bank.example.com\n"
    "[policy host]\nlevel = none\nclients = 10.1.2.3,2001:db8:1::7\ndomains = bank.example.com\n"
    "[policy later]\nclients = 10.1.0.0/16\nclients = 192.0.2.0/24\ndomains = bank.example.com, b.test\n"
    "[policy all4]\nclients = 0.0.0.0/0\n";

class TLSPolicyConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { log_ = &keelgate_test::captureLog(); }
  void TearDown() override { KELP::Clock::thaw(); }
  std::string path() const { return dir_ / "config/tls_policy.ini"; }
  void writeIni(const std::string& text) { ASSERT_TRUE(dir_.write("config/tls_policy.ini", text)); }
  // Name of the policy a lookup stores, "unchanged" when the record is
  // untouched; matched_ tells whether it found a policy.
  std::string lookup(std::string key, bool byClient) {
    TLSPolicy p{"unchanged", "", ""};
    matched_ = config_.getTLSPolicy(key, p, byClient);
    return p.name;
  }

  keelgate_test::TempDir dir_;
  keelgate_test::CaptureSink* log_ = nullptr;
  bool matched_ = false;
  TLSPolicyConfig config_{TLS_POLICY_INBOUND, dir_.path()};
};

TEST_F(TLSPolicyConfigTest, Lookups) {
  writeIni(kPolicies);
  ASSERT_TRUE(config_.init());
  const struct { const char* label; const char* key; bool byClient; const char* policy; } cases[] = {
      {"exact v4 address beats blocks", "10.1.2.3", true, "host"},
      {"/16 beats /8", "10.1.2.4", true, "narrow"},
      {"/8 alone", "10.200.0.1", true, "wide"},
      {"equal prefixes: first in file", "10.1.9.9", true, "narrow"},
      {"second clients line", "192.0.2.200", true, "later"},
      {"only the /0", "11.0.0.1", true, "all4"},
      {"v6 upper-case hex", "2001:DB8:1::7", true, "host"},
      {"/48 beats /32", "2001:db8:1::8", true, "narrow"},
      {"v4-mapped v6 reaches v4 entries", "::ffff:10.1.2.3", true, "host"},
      {"a v4 /0 holds no v6 address", "2001:db9::1", true, "unchanged"},
      {"unreadable key", "mail.example.com", true, "unchanged"},
      {"key with a prefix length", "10.1.2.3/32", true, "unchanged"},
      {"exact beats subdomain entries, first in file", "BANK.Example.COM", false, "host"},
      {"longest suffix wins", "x.y.bank.example.com", false, "narrow"},
      {"shorter suffix", "shop.example.com", false, "wide"},
      {"after a comma", "b.test", false, "later"},
      {"subdomain entry skips the bare domain", "example.com", false, "default"},
      {"suffix only at a label boundary", "notexample.com", false, "default"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.policy, lookup(c.key, c.byClient)) << c.label;
    EXPECT_EQ(c.policy != std::string("unchanged") && c.policy != std::string("default"), matched_) << c.label;
  }
  EXPECT_EQ(0u, log_->count(KELP::LOG_NORMAL, "unreadable")) << log_->all();
}

TEST_F(TLSPolicyConfigTest, ProblemsAreLoggedAndTheRestLoads) {
  writeIni(
      "[default]\nlevel = mandatory\n"
      "[policy odd]\nlevel = Verify\ncipher = low\ncolour = red\n"
      "clients = 192.0.2.1 2001:db8::/129 192.0.2.07 198.51.100.9/24\ndomains = . good.example\n"
      "[policy other]\nclients = 192.0.2.1\n[misc]\nkey = 1\n");
  ASSERT_TRUE(config_.init());
  EXPECT_EQ(2u, config_.size());
  TLSPolicy p;
  std::string key = "198.51.100.1";  // host bits of the block are ignored
  ASSERT_TRUE(config_.getTLSPolicy(key, p, true));
  EXPECT_EQ("odd/verify/low", p.name + "/" + p.level + "/" + p.cipher) << "known words read in any case";
  EXPECT_EQ("odd", lookup("GOOD.example", false));
  const char* const expected[] = {
      "[default]: unknown level [mandatory], taken as TLS required",
      "[policy odd]: unknown cipher [low], taken as medium or better",
      "[policy odd]: unknown key [colour], ignored",
      "[policy odd]: unreadable client address [2001:db8::/129], skipped",
      "[policy odd]: unreadable client address [192.0.2.07], skipped",
      "[policy odd]: empty domain entry [.], skipped",
      "[policy other]: client [192.0.2.1], already listed by policy [odd], kept there",
      "[misc]: section [misc], not [default] or [policy NAME], ignored",
  };
  for (const char* e : expected) EXPECT_EQ(1u, log_->count(1, "TLS policy file [" + path() + "] section " + e)) << e;
  EXPECT_EQ(std::size(expected), log_->count(1, "")) << log_->all();
}

// Twenty workers reload at once: a file left as it was is not parsed again,
// unless it changed so recently that an equal stamp proves nothing.
TEST_F(TLSPolicyConfigTest, ReloadReplacesTheTablesWholeWhenTheFileMayHaveChanged) {
  writeIni("[policy a]\nclients = 192.0.2.1\ndomains = a.example\n");
  struct stat st;
  ASSERT_EQ(0, stat(path().c_str(), &st));
  const std::string kept = "TLS policy file [" + path() + "] unchanged since it was loaded, kept";
  KELP::Clock::freezeAt(st.st_mtim.tv_sec);
  ASSERT_TRUE(config_.init());
  ASSERT_TRUE(config_.reload());
  EXPECT_EQ(0u, log_->count(KELP::LOG_DEBUG, kept)) << "just changed: read again";
  KELP::Clock::freezeAt(st.st_mtim.tv_sec + 60);
  ASSERT_TRUE(config_.reload());
  ASSERT_TRUE(config_.reload());
  EXPECT_EQ(1u, log_->count(KELP::LOG_DEBUG, kept));
  writeIni("[policy bb]\nclients = 192.0.2.2\n");
  ASSERT_TRUE(config_.reload());
  EXPECT_EQ("unchanged", lookup("192.0.2.1", true)) << "old entries are gone";
  EXPECT_EQ("bb", lookup("192.0.2.2", true));
  EXPECT_EQ("default", lookup("a.example", false));
  writeIni("[policy cc]\nclients = 192.0.2.3\nthis line is junk\n");
  EXPECT_FALSE(config_.reload()) << "a malformed line fails the load";
  EXPECT_EQ("bb", lookup("192.0.2.2", true)) << "and the policies in force stay";
  unlink(path().c_str());
  EXPECT_TRUE(config_.reload()) << "a removed file is noticed: the default policy alone";
  EXPECT_EQ(0u, config_.size());
}

}  // namespace
