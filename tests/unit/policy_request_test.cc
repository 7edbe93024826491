#include "daemon/policy_request.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::LogLines;
using keelgate_test::normal;

const size_t npos = std::string::npos;

class PolicyRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { log_ = &keelgate_test::captureLog(); }
  keelgate_test::CaptureSink* log_ = nullptr;
};

TEST_F(PolicyRequestTest, GetValueByKeyFindsTheFirstOccurrenceUpToItsLineFeed) {
  struct Case {
    const char* label;
    std::string text;
    const char* key;
    size_t end;         // expected result
    const char* value;  // value afterwards; it starts as "old"
  } cases[] = {
      {"plain line", "a=1\nsender=x@y\n", "sender", 14, "x@y"},
      {"tail of a longer name comes first", "original_sender=o@p\nsender=x@y\n", "sender", 19, "o@p"},
      {"prefix of a longer name is no match", "sender_domain=d\nsender=x@y\n", "sender", 26, "x@y"},
      {"not anchored at a line start", "xsender=1\n", "sender", 9, "1"},
      {"empty value is found", "sender=\nclient_address=1.2.3.4\n", "sender", 7, ""},
      {"carriage return stays in the value", "sender=x@y\r\n", "sender", 11, "x@y\r"},
      {"value holding '='", "sender=a=b\n", "sender", 10, "a=b"},
      {"first of two lines", "sender=first\nsender=second\n", "sender", 12, "first"},
      {"no line feed after the key", "a=1\nsender=x@y", "sender", npos, "old"},
      {"key absent", "a=1\nb=2\n", "sender", npos, "old"},
      {"key without '='", "sender\n", "sender", npos, "old"},
      {"case-sensitive", "Sender=x@y\n", "sender", npos, "old"},
      {"empty text", "", "sender", npos, "old"},
  };
  for (const Case& c : cases) {
    std::string value = "old";
    EXPECT_EQ(c.end, getValueBykey(c.text, c.key, value)) << c.label;
    EXPECT_EQ(c.value, value) << c.label;
  }
  EXPECT_TRUE(log_->lines().empty()) << "the lookup itself logs nothing";
}

TEST_F(PolicyRequestTest, SenderDomainIsEverythingAfterTheFirstAt) {
  struct Case {
    const char* label;
    const char* sender;
    const char* domain;
  } cases[] = {
      {"mixed case kept", "Alice@Mail.Example.COM", "Mail.Example.COM"},
      {"no '@': whole sender", "postmaster", "postmaster"},
      {"two '@': after the first", "a@b@c.example", "b@c.example"},
      {"trailing '@': empty", "alice@", ""},
      {"leading '@'", "@c.example", "c.example"},
      {"empty sender", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.domain, senderDomainOf(c.sender)) << c.label;
}

const char kFull[] =
    "request=smtpd_access_policy\n"
    "protocol_state=MAIL\n"
    "client_address=192.0.2.1\n"
    "reverse_client_name=mx.Example.COM\n"
    "sender=Bob@Mixed.Example\n"
    "ccert_subject=\n"
    "encryption_cipher=TLS_AES_256_GCM_SHA384\n"
    "encryption_keysize=256\n"
    "\n";

// kFull without the line of each named attribute.
std::string without(std::initializer_list<const char*> names) {
  std::string text = kFull;
  for (const char* name : names) {
    size_t p = text.find(std::string("\n") + name + "=");
    text.erase(p + 1, text.find('\n', p + 1) - p);
  }
  return text;
}

TEST_F(PolicyRequestTest, ParseReadsEveryAttributeAndDerivesTheDomain) {
  PolicyRequest r;
  ASSERT_TRUE(parsePolicyRequest(kFull, r));
  EXPECT_EQ("MAIL", r.protocolState);
  EXPECT_EQ("192.0.2.1", r.clientAddress);
  EXPECT_EQ("mx.Example.COM", r.reverseClientName);
  EXPECT_EQ("Bob@Mixed.Example", r.sender);
  EXPECT_EQ("Mixed.Example", r.senderDomain);
  EXPECT_EQ("", r.ccertSubject);
  EXPECT_EQ("TLS_AES_256_GCM_SHA384", r.encryptionCipher);
  EXPECT_EQ("256", r.encryptionKeysize);
  EXPECT_TRUE(log_->lines().empty());
}

TEST_F(PolicyRequestTest, ParseReportsTheFirstMissingAttributeInLookupOrder) {
  struct Case {
    const char* label;
    std::string text;
    bool ok;
    LogLines log;
  } cases[] = {
      {"protocol_state missing: only logged", without({"protocol_state"}), true,
       {normal("fail to find key [protocol_state]")}},
      {"sender", without({"sender"}), false, {normal("fail to find key [sender]")}},
      {"reverse_client_name", without({"reverse_client_name"}), false,
       {normal("fail to find key [reverse_client_name]")}},
      {"client_address before sender", without({"sender", "client_address"}), false,
       {normal("fail to find key [client_address]")}},
      {"sender before ccert_subject", without({"encryption_keysize", "ccert_subject", "sender"}), false,
       {normal("fail to find key [sender]")}},
      {"protocol_state, then parsing goes on", without({"protocol_state", "encryption_cipher"}), false,
       {normal("fail to find key [protocol_state]"), normal("fail to find key [encryption_cipher]")}},
      {"last line without its line feed", std::string(kFull, sizeof kFull - 3), false,
       {normal("fail to find key [encryption_keysize]")}},
  };
  for (const Case& c : cases) {
    log_->clear();
    PolicyRequest r;
    EXPECT_EQ(c.ok, parsePolicyRequest(c.text, r)) << c.label;
    EXPECT_EQ(c.log, log_->lines()) << c.label;
    if (c.ok) {
      EXPECT_EQ("", r.protocolState) << c.label;
    }
  }
}

}  // namespace
