#include "daemon/tls_decision.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <string>

#include "daemon/globals.h"
#include "host/base/sender_address.h"
#include "host/tls/tls_policy_config.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::LogLines;

// Ciphers by table: in High, only in Medium, in neither.
const char kHigh[] = "ECDHE-RSA-AES256-GCM-SHA384";
const char kMedium[] = "IDEA-CBC-SHA";
const char kNeither[] = "RC4-MD5";
const char kCert[] = "cn=client.example";

const char kUsed[] = "action=PREPEND X-KELP-TLS-USAGE: Used\n\n";
const char kUnused[] = "action=PREPEND X-KELP-TLS-USAGE: Unused\n\n";
const char kNoTLS[] = "action=421 4.7.0 Must not use TLS\n\n";
const char kMustTLS[] = "action=530 5.7.0 Must use TLS\n\n";
const char kNeedHigh[] = "action=421 4.7.5 Must use HIGH cipher suites\n\n";
const char kNeedMedium[] = "action=421 4.7.5 Must use MEDIUM cipher suites\n\n";
const char kUnverified[] = "action=421 4.7.1 Unverified client certificate\n\n";
const char kDunno[] = "action=DUNNO Non-need check\n\n";

const char kPassed[] = "Passed";
const char kDenied[] = "Rejected:TLS Denied";
const char kIssue[] = "Rejected:Must issue TLS";
const char kWrongHigh[] = "Rejected:must use correct high ciphers";
const char kWrongMedium[] = "Rejected:must use correct medium ciphers";
const char kNoCert[] = "Rejected:must provide trusted certificate";

// Policy words the grid covers: "strict" stands for any unknown level, "low"
// for any unknown cipher class, "" for a record with the field left empty.
const char* const kLevels[] = {"none", "may", "encrypt", "verify", "strict", ""};
const char* const kCipherClasses[] = {"high", "medium", "low", ""};

const char kOtherPolicies[] =
    "[default]\nlevel = encrypt\ncipher = high\n"
    "[policy client-may]\nlevel = may\nclients = 192.0.2.0/24\ndomains = client-domain.example\n"
    "[policy domain-none]\nlevel = none\ndomains = mixed.example\n"
    "[policy v6-verify]\nlevel = verify\ncipher = high\nclients = 2001:db8::/32\n";

class TLSDecisionTest : public ::testing::Test {
 protected:
  struct GridPolicy { std::string client, level, cipher; };

  // One policy "<level>-<cipher>" per pair of words, on client block
  // 10.<level index>.<cipher index>.0/24; an empty word is named "empty".
  void SetUp() override {
    g_high_cipher_suites = {{kHigh, "256"}};
    g_medium_cipher_suites = {{kMedium, "128"}};
    std::string ini = kOtherPolicies;
    for (size_t l = 0; l < std::size(kLevels); ++l) {
      for (size_t c = 0; c < std::size(kCipherClasses); ++c) {
        std::string level = kLevels[l], cipher = kCipherClasses[c];
        std::string name = (level.empty() ? "empty" : level) + "-" + (cipher.empty() ? "empty" : cipher);
        std::string block = "10." + std::to_string(l) + "." + std::to_string(c) + ".";
        grid_[name] = GridPolicy{block + "7", level, cipher};
        ini += "[policy " + name + "]\nlevel = " + level + "\ncipher = " + cipher + "\nclients = " + block + "0/24\n";
      }
    }
    ASSERT_TRUE(dir_.write("config/tls_policy.ini", ini));
    log_ = &keelgate_test::captureLog();
    ASSERT_TRUE(config_.init());
  }

  static PolicyRequest request(const std::string& state, const std::string& client, const std::string& sender,
                               const std::string& cipher, const std::string& ccert) {
    return PolicyRequest{state, client, "MX.Example", sender, std::string(KELP::senderDomain(sender)), ccert, cipher,
                         "256"};
  }

  keelgate_test::TempDir dir_;
  TLSPolicyConfig config_{TLS_POLICY_INBOUND, dir_.path()};
  std::map<std::string, GridPolicy> grid_;
  keelgate_test::CaptureSink* log_ = nullptr;
};

// Each row: a MAIL-stage request from a client of the row's grid policy.
TEST_F(TLSDecisionTest, DecisionByLevelCipherAndCertificate) {
  const struct { const char *label, *policy, *cipher, *ccert, *answer, *verdict; } rows[] = {
      {"none: a certificate without TLS passes", "none-medium", "", kCert, kUnused, kPassed},
      {"none: High cipher and certificate still denied", "none-high", kHigh, kCert, kNoTLS, kDenied},
      {"may: cipher in neither, class high: HIGH comes first", "may-high", kNeither, "", kNeedHigh, kWrongHigh},
      {"may: Medium cipher, unknown class", "may-low", kMedium, "", kUsed, kPassed},
      {"may: cipher in neither, empty class", "may-empty", kNeither, "", kNeedMedium, kWrongMedium},
      {"encrypt: no TLS with a certificate", "encrypt-high", "", kCert, kMustTLS, kIssue},
      {"encrypt: High cipher, no certificate needed", "encrypt-high", kHigh, "", kUsed, kPassed},
      {"encrypt: cipher in neither, unknown class", "encrypt-low", kNeither, "", kNeedMedium, kWrongMedium},
      {"verify: no TLS is tested before the certificate", "verify-high", "", kCert, kMustTLS, kIssue},
      {"verify: cipher before certificate", "verify-high", kMedium, "", kNeedHigh, kWrongHigh},
      {"verify: Medium cipher, class medium, no certificate", "verify-medium", kMedium, "", kUnverified, kNoCert},
      {"verify: High cipher, unknown class, certificate", "verify-low", kHigh, kCert, kUsed, kPassed},
      {"unknown level: no TLS", "strict-medium", "", "", kMustTLS, kIssue},
      {"unknown level: High cipher needs no certificate", "strict-high", kHigh, "", kUsed, kPassed},
      {"unknown level: Medium cipher, class high", "strict-high", kMedium, "", kNeedHigh, kWrongHigh},
      {"empty record: no TLS", "empty-empty", "", "", kMustTLS, kIssue},
      {"empty record: cipher in neither", "empty-empty", kNeither, "", kNeedMedium, kWrongMedium},
      {"empty level, High cipher, class high", "empty-high", kHigh, "", kUsed, kPassed},
  };
  for (const auto& row : rows) {
    const GridPolicy& g = grid_.at(row.policy);
    PolicyRequest r = request("MAIL", g.client, "alice@example.net", row.cipher, row.ccert);
    TLSPolicy policy;
    log_->clear();
    EXPECT_EQ(row.answer, decideTLS(r, config_, policy)) << row.label;
    EXPECT_EQ(row.policy, policy.name) << row.label;
    LogLines expected = {
        {4, "Policy for connection from [" + g.client + "] is level[" + g.level + "], cipher[" + g.cipher + "]"},
        {1, "Connected from [" + g.client + "], sender is [alice@example.net], matched policy name is [" +
                row.policy + "], " + row.verdict}};
    EXPECT_EQ(expected, log_->lines()) << row.label;
  }
}

// Outside the MAIL stage nothing is looked up or folded; in it the client's
// policy comes first, then the sender domain's.
TEST_F(TLSDecisionTest, StageThenClientThenSenderDomain) {
  const struct { const char *label, *state, *client, *sender, *cipher, *policy, *answer; } cases[] = {
      {"stage in other case", "Mail", "10.3.0.7", "a@mixed.example", "rc4-md5", "stale", kDunno},
      {"later stage", "RCPT", "10.3.0.7", "a@mixed.example", "rc4-md5", "stale", kDunno},
      {"client match: no domain lookup resets the record", "MAIL", "192.0.2.1", "a@nowhere.example", "",
       "client-may", kUnused},
      {"no client match: domain of the client's policy", "MAIL", "198.51.100.1", "a@client-domain.example", "",
       "client-may", kUnused},
      {"no client match, unknown domain: default", "MAIL", "198.51.100.1", "a@nowhere.example", "", "default",
       kMustTLS},
      {"unreadable client address: domain", "MAIL", "unknown", "a@mixed.example", "", "domain-none", kUnused},
      {"case folded: upper-case v6 client, lower-case cipher", "MAIL", "2001:DB8::5", "",
       "ecdhe-rsa-aes256-gcm-sha384", "v6-verify", kUsed},
  };
  for (const auto& c : cases) {
    PolicyRequest r = request(c.state, c.client, c.sender, c.cipher, kCert);
    TLSPolicy policy{"stale", "none", "high"};
    log_->clear();
    EXPECT_EQ(c.answer, decideTLS(r, config_, policy)) << c.label;
    EXPECT_EQ(c.policy, policy.name) << c.label;
    if (c.answer == kDunno) {
      EXPECT_EQ("rc4-md5", r.encryptionCipher) << c.label << ": nothing folded";
      EXPECT_EQ((LogLines{{1, std::string("Connected from [10.3.0.7], sender is [a@mixed.example], matched "
                                          "policy name is [stale], Passed")}}),
                log_->lines())
          << c.label;
    }
  }
}

}  // namespace
