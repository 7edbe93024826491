#include "daemon/policy_request.h"

#include <gtest/gtest.h>

#include <string>

#include "host/base/sender_address.h"
#include "tests/unit/capture_log.h"

namespace {

const char kRest[] =
    "client_address=10.0.0.1\nreverse_client_name=mx.example\nccert_subject=\n"
    "encryption_cipher=\nencryption_keysize=0\n";

// Attributes are found only by their exact name at a line start, so a value
// an SMTP client chose can never stand in for another attribute.
TEST(PolicyRequestTest, AttributesByExactNameAtALineStart) {
  // `logged`: a line the parse must log, or "".
  const struct { const char* label; std::string text; bool ok; const char *sender, *cipher, *logged; } cases[] = {
      {"plain request", std::string("request=smtpd_access_policy\nprotocol_state=MAIL\nsender=a@b.example\n") + kRest,
       true, "a@b.example", "", ""},
      {"EHLO name holding another attribute",
       std::string("helo_name=encryption_cipher=TLS_AES_256_GCM_SHA384\nsender=a@b\n") + kRest, true, "a@b", "", ""},
      {"longer names ending or starting in the name",
       std::string("original_sender=o@p\nsender_domain=d\nsender=x@y\n") + kRest, true, "x@y", "", ""},
      {"repeated attribute", std::string("sender=x@y\nsender=a@b\n") + kRest, false, "", "",
       "repeated attribute [sender] in request, answered as malformed"},
      {"lines after the empty line are not read", std::string("sender=a@b\n") + kRest + "\nsender=x@y\n", true,
       "a@b", "", ""},
      {"empty value counts as given", std::string("sender=\n") + kRest, true, "", "", ""},
      {"carriage return stays in the value", std::string("sender=a@b\r\n") + kRest, true, "a@b\r", "", ""},
      {"a last line without line feed is not read", std::string(kRest) + "sender=a@b", false, "", "",
       "fail to find key [sender]"},
      {"a required attribute missing", std::string("sender=a@b\nclient_address=1.2.3.4\n"), false, "a@b", "",
       "fail to find key [reverse_client_name]"},
      {"names are case-sensitive", std::string("Sender=a@b\n") + kRest, false, "", "", "fail to find key [sender]"},
  };
  for (const auto& c : cases) {
    keelgate_test::CaptureSink& log = keelgate_test::captureLog();
    PolicyRequest r;
    EXPECT_EQ(c.ok, parsePolicyRequest(c.text, r)) << c.label;
    if (c.ok) {
      EXPECT_EQ(c.sender, r.sender) << c.label;
      EXPECT_EQ(c.cipher, r.encryptionCipher) << c.label;
    }
    if (*c.logged != '\0') {
      EXPECT_EQ(1u, log.count(KELP::LOG_NORMAL, c.logged)) << c.label << "\n" << log.all();
    }
  }
}

TEST(PolicyRequestTest, SenderDomainIsAfterTheLastAtWithoutATrailingDot) {
  const struct { const char *sender, *domain; bool hasAt; } cases[] = {
      {"user@Bank.Example", "Bank.Example", true},        // case kept; matching ignores it
      {"\"x@y\"@bank.example", "bank.example", true},     // quoted local part with its own '@'
      {"user@bank.example.", "bank.example", true},       // fully qualified
      {"user@", "", true},
      {"postmaster", "postmaster", false},
      {"", "", false},
  };
  for (const auto& c : cases) {
    bool hasAt = !c.hasAt;
    EXPECT_EQ(c.domain, KELP::senderDomain(c.sender, &hasAt)) << c.sender;
    EXPECT_EQ(c.hasAt, hasAt) << c.sender;
  }
}

}  // namespace
