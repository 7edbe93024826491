// TLS policy enforcement through the running pool: policies matched by client
// address (longest prefix, IPv6 blocks) ahead of the sender domain, and the
// Medium class the pool reads from openssl's listing at start. The rows of
// the decision are reached by real sessions in tests/postfix (by sender
// domain) and by tls_decision_test.cc (unknown words, order of the checks).
#include <gtest/gtest.h>

#include "tests/e2e/daemon_harness.h"

namespace e2e {
namespace {

const char kPolicies[] =
    "[default]\n"
    "level = may\n"
    "cipher = medium\n"
    "[policy plain-net]\n"
    "level = none\n"
    "clients = 198.51.100.0/24\n"
    "[policy tls-host]\n"
    "level = encrypt\n"
    "cipher = medium\n"
    "clients = 198.51.100.77\n"
    "[policy bank]\n"
    "level = verify\n"
    "cipher = high\n"
    "clients = 2001:db8::/32\n"
    "domains = bank.example\n"
    "[policy secure-subdomains]\n"
    "level = encrypt\n"
    "cipher = high\n"
    "domains = .secure.example\n"
    "[policy may-high]\n"
    "level = may\n"
    "cipher = high\n"
    "clients = 203.0.113.0/25\n";

// The system's HIGH class, plus one cipher that only the Medium class has
// (current OpenSSL builds list no MEDIUM cipher at all).
const char kOpensslWithMedium[] =
    "#!/bin/sh\n"
    "case \"$3\" in\n"
    "  MEDIUM) echo 'TEST-MEDIUM-SHA TLSv1.2 Kx=RSA Au=RSA Enc=SEED(128) Mac=SHA1' ;;\n"
    "  *) exec \"$(dirname \"$0\")/openssl.real\" \"$@\" ;;\n"
    "esac\n";

const char kHigh[] = "TLS_AES_256_GCM_SHA384";
const char kMediumOnly[] = "TEST-MEDIUM-SHA";

class TlsPolicy : public testing::Test {
 protected:
  void SetUp() override {
    home.write("script/openssl.real", home.read("script/openssl"), 0755);
    home.write("script/openssl", kOpensslWithMedium, 0755);
    home.write("config/tls_policy.ini", kPolicies);
    ASSERT_EQ(-1, home.start());
  }
  std::string mail(const std::string& client, const std::string& sender, const std::string& cipher,
                   const std::string& ccert = "") {
    return ask(999, policyRequest({{"client_address", client},
                                   {"sender", sender},
                                   {"encryption_cipher", cipher},
                                   {"ccert_subject", ccert}}));
  }
  Installation home;
};

TEST_F(TlsPolicy, ClientPoliciesAndTheMediumClass) {
  const std::string needHigh = "action=421 4.7.5 Must use HIGH cipher suites\n\n";
  struct Case {
    const char* label;
    std::string client, sender, cipher, ccert, answer;
  } cases[] = {
      {"encrypt by longest prefix, no TLS", "198.51.100.77", "a@x.example", "", "", kMustUseTls},
      {"high class, Medium cipher", "203.0.113.9", "a@x.example", kMediumOnly, "", needHigh},
      {"medium class, Medium cipher", "198.51.100.77", "a@x.example", kMediumOnly, "", kUsed},
      {"verify by IPv6 block, certificate", "2001:db8::25", "a@x.example", kHigh, "client.bank.example", kUsed},
      {"client match wins over the domain", "198.51.100.5", "a@bank.example", "", "", kUnused},
      {"subdomain entry", "192.0.2.1", "a@mx.secure.example", kMediumOnly, "", needHigh},
      {"outside /25: the default, medium class", "203.0.113.200", "a@x.example", kMediumOnly, "", kUsed},
  };
  for (const Case& c : cases) EXPECT_EQ(c.answer, mail(c.client, c.sender, c.cipher, c.ccert)) << c.label;

  EXPECT_TRUE(home.waitForLog(
      "normal Connected from [2001:db8::25], sender is [a@x.example], matched policy name is [bank], Passed"));
  EXPECT_TRUE(home.waitForLog("matched policy name is [may-high], Rejected:must use correct high ciphers"));
  EXPECT_TRUE(home.waitForLog("matched policy name is [tls-host], Rejected:Must issue TLS"));
}

}  // namespace
}  // namespace e2e
