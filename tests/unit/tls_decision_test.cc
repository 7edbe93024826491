#include "daemon/tls_decision.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "daemon/globals.h"
#include "host/tls/tls_policy_config.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::debug;
using keelgate_test::LogLines;
using keelgate_test::normal;

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
    "[default]\n"
    "level = encrypt\n"
    "cipher = high\n"
    "[policy client-may]\n"
    "level = may\n"
    "clients = 192.0.2.0/24\n"
    "domains = client-domain.example\n"
    "[policy domain-none]\n"
    "level = none\n"
    "domains = mixed.example\n"
    "[policy v6-verify]\n"
    "level = verify\n"
    "cipher = high\n"
    "clients = 2001:db8::/32\n";

struct Row {
  const char* label;
  const char* policy;  // grid policy name
  const char* cipher;  // encryption_cipher as sent
  const char* ccert;
  const char* answer;
  const char* verdict;
};

class TLSDecisionTest : public ::testing::Test {
 protected:
  struct GridPolicy {
    std::string client, level, cipher;
  };

  void SetUp() override {
    g_high_cipher_suites = {{kHigh, "256"}, {"TLS_AES_256_GCM_SHA384", "256"}};
    g_medium_cipher_suites = {{kMedium, "128"}, {"SEED-SHA", "128"}};
    // One policy "<level>-<cipher>" per pair of words, on client block
    // 10.<level index>.<cipher index>.0/24; an empty word is named "empty".
    std::string ini = kOtherPolicies;
    for (size_t l = 0; l < std::size(kLevels); ++l) {
      for (size_t c = 0; c < std::size(kCipherClasses); ++c) {
        std::string level = kLevels[l], cipher = kCipherClasses[c];
        std::string name = (level.empty() ? "empty" : level) + "-" + (cipher.empty() ? "empty" : cipher);
        std::string block = "10." + std::to_string(l) + "." + std::to_string(c) + ".";
        grid_[name] = GridPolicy{block + "7", level, cipher};
        ini += "[policy " + name + "]\nlevel = " + level + "\ncipher = " + cipher + "\nclients = " + block +
               "0/24\n";
      }
    }
    ASSERT_TRUE(dir_.write("config/tls_policy.ini", ini));
    config_.reset(new TLSPolicyConfig(TLS_POLICY_INBOUND, dir_.path()));
    log_ = &keelgate_test::captureLog();
    ASSERT_TRUE(config_->init());
    log_->clear();  // the load's notes on the unknown words
  }
  void TearDown() override {
    g_high_cipher_suites.clear();
    g_medium_cipher_suites.clear();
  }

  static PolicyRequest request(const std::string& state, const std::string& client, const std::string& sender,
                               const std::string& cipher, const std::string& ccert) {
    PolicyRequest r;
    r.protocolState = state;
    r.clientAddress = client;
    r.reverseClientName = "MX.Example";
    r.sender = sender;
    r.senderDomain = senderDomainOf(sender);
    r.ccertSubject = ccert;
    r.encryptionCipher = cipher;
    r.encryptionKeysize = "256";
    return r;
  }

  // Each row: a MAIL-stage request from a client of the row's grid policy.
  template <size_t N>
  void checkRows(const Row (&rows)[N]) {
    for (const Row& row : rows) {
      ASSERT_EQ(1u, grid_.count(row.policy)) << row.label;
      const GridPolicy& g = grid_.at(row.policy);
      PolicyRequest r = request("MAIL", g.client, "alice@example.net", row.cipher, row.ccert);
      TLSPolicy policy;
      log_->clear();
      EXPECT_EQ(row.answer, decideTLS(r, *config_, policy)) << row.label;
      EXPECT_EQ(row.policy, policy.name) << row.label;
      LogLines expected = {
          debug("Policy for connection from [" + g.client + "] is level[" + g.level + "], cipher[" + g.cipher +
                "]"),
          normal("Connected from [" + g.client + "], sender is [alice@example.net], matched policy name is [" +
                 row.policy + "], " + row.verdict)};
      EXPECT_EQ(expected, log_->lines()) << row.label;
    }
  }

  keelgate_test::TempDir dir_;
  std::unique_ptr<TLSPolicyConfig> config_;
  std::map<std::string, GridPolicy> grid_;
  keelgate_test::CaptureSink* log_ = nullptr;
};


// The rows the end-to-end test does not reach: unknown and empty words, and
// the order of the checks.
TEST_F(TLSDecisionTest, DecisionByLevelCipherAndCertificate) {
  const Row rows[] = {
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
  checkRows(rows);
}

TEST_F(TLSDecisionTest, OutsideTheMailStageNothingIsLookedUpOrFolded) {
  const char* const states[] = {"Mail", "", "MAIL ", " MAIL", "MAI", "MAIL\r"};
  for (const char* state : states) {
    PolicyRequest r = request(state, "2001:DB8::5", "Alice@Mixed.Example", "rc4-md5", "CN=X");
    TLSPolicy policy{"old-name", "none", "high"};
    log_->clear();
    EXPECT_EQ(kDunno, decideTLS(r, *config_, policy)) << state;
    EXPECT_EQ("old-name", policy.name) << state;
    EXPECT_EQ("rc4-md5", r.encryptionCipher) << state << ": nothing folded";
    LogLines expected = {normal(
        "Connected from [2001:DB8::5], sender is [Alice@Mixed.Example], matched policy name is [old-name], Passed")};
    EXPECT_EQ(expected, log_->lines()) << state;
  }
  PolicyRequest r = request("RCPT", "192.0.2.1", "a@b.example", "", "");
  TLSPolicy fresh;
  log_->clear();
  EXPECT_EQ(kDunno, decideTLS(r, *config_, fresh));
  EXPECT_EQ(LogLines{normal("Connected from [192.0.2.1], sender is [a@b.example], matched policy name is [], Passed")},
            log_->lines())
      << "a worker's first record is empty";
}

TEST_F(TLSDecisionTest, MailStageFoldsCaseButKeepsTheSenderDomain) {
  PolicyRequest r = request("MAIL", "2001:DB8::5", "Alice@Mixed.Example", "ecdhe-rsa-aes256-gcm-sha384",
                            "CN=Client.Example");
  TLSPolicy policy;
  EXPECT_EQ(kUsed, decideTLS(r, *config_, policy)) << "lower-case cipher found in the High table";
  EXPECT_EQ("v6-verify", policy.name);
  EXPECT_EQ("2001:db8::5", r.clientAddress);
  EXPECT_EQ("alice@mixed.example", r.sender);
  EXPECT_EQ("mx.example", r.reverseClientName);
  EXPECT_EQ("cn=client.example", r.ccertSubject);
  EXPECT_EQ("ECDHE-RSA-AES256-GCM-SHA384", r.encryptionCipher);
  EXPECT_EQ("Mixed.Example", r.senderDomain) << "the sender domain is not folded";
  LogLines expected = {
      debug("Policy for connection from [2001:db8::5] is level[verify], cipher[high]"),
      normal("Connected from [2001:db8::5], sender is [alice@mixed.example], matched policy name is [v6-verify], "
             "Passed")};
  EXPECT_EQ(expected, log_->lines());
}

TEST_F(TLSDecisionTest, ClientLookupFirstThenSenderDomain) {
  struct Case {
    const char* label;
    const char* client;
    const char* sender;
    const char* policy;
    const char* answer;
  } cases[] = {
      {"client match: no domain lookup resets the record", "192.0.2.1", "a@nowhere.example", "client-may",
       kUnused},
      {"no client match: domain of the client's policy", "198.51.100.1", "a@client-domain.example",
       "client-may", kUnused},
      {"no client match, unknown domain: default", "198.51.100.1", "a@nowhere.example", "default", kMustTLS},
      {"sender without '@' is its own domain", "198.51.100.1", "Mixed.Example", "domain-none", kUnused},
      {"domain after the first '@' only", "198.51.100.1", "a@b@mixed.example", "default", kMustTLS},
      {"empty sender: default", "198.51.100.1", "", "default", kMustTLS},
      {"unreadable client address: domain", "unknown", "a@mixed.example", "domain-none", kUnused},
  };
  for (const Case& c : cases) {
    PolicyRequest r = request("MAIL", c.client, c.sender, "", "");
    std::string domain = r.senderDomain;
    TLSPolicy policy{"stale", "none", "high"};
    EXPECT_EQ(c.answer, decideTLS(r, *config_, policy)) << c.label;
    EXPECT_EQ(c.policy, policy.name) << c.label;
    EXPECT_EQ(domain, r.senderDomain) << c.label;
  }
}

}  // namespace
