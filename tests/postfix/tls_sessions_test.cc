// TLS policies enforced on real SMTP sessions: Postfix asks keelgate at MAIL,
// and the client sees keelgate's rejection in Postfix's reply, or the message
// is delivered with the X-KELP-TLS-USAGE header keelgate had Postfix prepend.
// Every row of the TLS decision is reached by a session: policies are chosen
// by the sender's domain, TLS 1.3 and TLS 1.2, with and without a client
// certificate Postfix verified, and a NULL cipher outside both classes.
#include <gtest/gtest.h>

#include "tests/postfix/postfix_gateway.h"

namespace pftest {
namespace {

// kClient matches no client entry, so the sender's domain selects the policy.
const char kPolicies[] =
    "[default]\n"
    "level = may\n"
    "cipher = medium\n"
    "[policy no-tls]\n"
    "level = none\n"
    "domains = none.example\n"
    "[policy tls-required]\n"
    "level = encrypt\n"
    "cipher = medium\n"
    "domains = encrypt.example\n"
    "[policy partner]\n"
    "level = verify\n"
    "cipher = high\n"
    "domains = verify.example\n"
    "[policy strong-ciphers]\n"
    "level = encrypt\n"
    "cipher = high\n"
    "domains = high.example\n";

class TlsSessions : public PostfixGateway {
 protected:
  void SetUp() override { home.write("config/tls_policy.ini", kPolicies); }

  // The session queued a message and it arrived with exactly one usage header.
  std::string expectDelivered(const SmtpSession& s, const std::string& usage) {
    std::string id = s.queueId();
    EXPECT_FALSE(id.empty()) << s.transcript;
    std::string message = postfix.waitForMessage(id);
    EXPECT_FALSE(message.empty()) << "message " << id << " not delivered\n" << postfix.maillog();
    EXPECT_EQ(std::vector<std::string>{usage}, headerValues(message, "X-KELP-TLS-USAGE")) << message;
    return message;
  }
  // The client read `reply` and nothing was queued.
  void expectRefused(const SmtpSession& s, const std::string& reply) {
    EXPECT_TRUE(s.saw(reply)) << s.transcript;
    EXPECT_EQ("", s.queueId()) << s.transcript;
  }
  // keelgate's debug line of the attributes it parsed for `sender` holds `text`.
  bool parsedLine(const std::string& sender, const std::string& text) {
    const std::string head = "after parse sender is [" + sender + "]";
    home.waitForLog(head);
    for (const auto& line : home.logLines())
      if (line.find(head) != std::string::npos && line.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> tls13() { return {"--tls", "--tls-protocol", "tlsv1_3"}; }
  std::vector<std::string> tls12() { return {"--tls", "--tls-protocol", "tlsv1_2"}; }
  std::vector<std::string> withCert(std::vector<std::string> options, const std::string& name) {
    options.insert(options.end(), {"--tls-cert", postfix.cert(name + ".pem"), "--tls-key", postfix.cert(name + ".key")});
    return options;
  }
};

TEST_F(TlsSessions, PlainSessions) {
  startGateway();
  expectDelivered(swaks("a@none.example"), "Unused");
  expectDelivered(swaks("a@may.example"), "Unused");
  expectRefused(swaks("a@encrypt.example"), "<** 530 5.7.0 <a@encrypt.example>: Sender address rejected: Must use TLS");
  // TLS is required before a certificate is asked for.
  expectRefused(swaks("a@verify.example"), "<** 530 5.7.0 <a@verify.example>: Sender address rejected: Must use TLS");

  EXPECT_TRUE(home.waitForLog(decisionLine("a@none.example", "no-tls", "Passed")));
  EXPECT_TRUE(home.waitForLog(decisionLine("a@may.example", "default", "Passed")));
  EXPECT_TRUE(home.waitForLog(decisionLine("a@encrypt.example", "tls-required", "Rejected:Must issue TLS")));
  EXPECT_TRUE(home.waitForLog(decisionLine("a@verify.example", "partner", "Rejected:Must issue TLS")));
  EXPECT_EQ(1u, postfix.maillogLines("NOQUEUE: reject: MAIL from unknown[127.0.0.2]: 530 5.7.0 <a@encrypt.example>: "
                                     "Sender address rejected: Must use TLS; from=<a@encrypt.example> proto=ESMTP "
                                     "helo=<client.partner.test>")
                    .size())
      << postfix.maillog();
  EXPECT_EQ(2, postfix.deliveredCount());
}

TEST_F(TlsSessions, Tls13WithoutClientCertificate) {
  startGateway();
  expectRefused(swaks("a@none.example", tls13()),
                "<~* 421 4.7.0 <a@none.example>: Sender address rejected: Must not use TLS");
  std::string message = expectDelivered(swaks("a@may.example", tls13()), "Used");
  EXPECT_NE(std::string::npos, message.find("using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384")) << message;
  expectDelivered(swaks("a@encrypt.example", tls13()), "Used");
  expectDelivered(swaks("a@high.example", tls13()), "Used");
  expectRefused(swaks("a@verify.example", tls13()),
                "<~* 421 4.7.1 <a@verify.example>: Sender address rejected: Unverified client certificate");

  EXPECT_TRUE(home.waitForLog(decisionLine("a@none.example", "no-tls", "Rejected:TLS Denied")));
  EXPECT_TRUE(home.waitForLog(decisionLine("a@high.example", "strong-ciphers", "Passed")));
  EXPECT_TRUE(home.waitForLog(decisionLine("a@verify.example", "partner", "Rejected:must provide trusted certificate")));
  EXPECT_EQ(5u, postfix.maillogLines("Anonymous TLS connection established from unknown[127.0.0.2]: TLSv1.3 with "
                                     "cipher TLS_AES_256_GCM_SHA384")
                    .size())
      << postfix.maillog();
}

TEST_F(TlsSessions, Tls13WithClientCertificate) {
  home.logAtDebugLevel();
  startGateway();
  expectDelivered(swaks("a@verify.example", withCert(tls13(), "client")), "Used");
  // Postfix passes the certificate's CN, and only for a certificate it verified.
  EXPECT_TRUE(parsedLine("a@verify.example", "ccert_subject is [client.partner.test], "
                                              "encryption_cipher is [TLS_AES_256_GCM_SHA384]"));
  EXPECT_TRUE(home.waitForLog(decisionLine("a@verify.example", "partner", "Passed")));
  EXPECT_TRUE(postfix.waitForMaillog("Trusted TLS connection established from unknown[127.0.0.2]: TLSv1.3"));

  expectRefused(swaks("b@verify.example", withCert(tls13(), "rogue")),
                "<~* 421 4.7.1 <b@verify.example>: Sender address rejected: Unverified client certificate");
  EXPECT_TRUE(postfix.waitForMaillog("Untrusted TLS connection established from unknown[127.0.0.2]: TLSv1.3"));
  EXPECT_TRUE(parsedLine("b@verify.example", "ccert_subject is [], encryption_cipher is [TLS_AES_256_GCM_SHA384]"));

  // A verified certificate does not excuse TLS where TLS is forbidden.
  expectRefused(swaks("a@none.example", withCert(tls13(), "client")),
                "<~* 421 4.7.0 <a@none.example>: Sender address rejected: Must not use TLS");
}

TEST_F(TlsSessions, Tls12) {
  startGateway();
  std::string message = expectDelivered(swaks("a@high.example", tls12()), "Used");
  EXPECT_NE(std::string::npos, message.find("using TLSv1.2 with cipher ECDHE-ECDSA-AES256-GCM-SHA384")) << message;
  expectDelivered(swaks("a@may.example", tls12()), "Used");
  expectDelivered(swaks("a@verify.example", withCert(tls12(), "client")), "Used");
  expectRefused(swaks("b@verify.example", tls12()),
                "<~* 421 4.7.1 <b@verify.example>: Sender address rejected: Unverified client certificate");
  expectRefused(swaks("a@none.example", tls12()),
                "<~* 421 4.7.0 <a@none.example>: Sender address rejected: Must not use TLS");

  EXPECT_TRUE(home.waitForLog(decisionLine("a@high.example", "strong-ciphers", "Passed")));
  EXPECT_TRUE(postfix.waitForMaillog("Trusted TLS connection established from unknown[127.0.0.2]: TLSv1.2 with "
                                     "cipher ECDHE-ECDSA-AES256-GCM-SHA384"));
  EXPECT_EQ(3, postfix.deliveredCount());
}

// NULL ciphers encrypt nothing and belong to neither class: a session on one
// is refused by every policy that allows TLS, naming the class it asks for.
TEST_F(TlsSessions, CipherOutsideBothClasses) {
  ASSERT_TRUE(postfix.set(allowNullCiphers()));
  startGateway();
  expectRefused(nullCipherSession("a@high.example"),
                "421 4.7.5 <a@high.example>: Sender address rejected: Must use HIGH cipher suites");
  expectRefused(nullCipherSession("a@encrypt.example"),
                "421 4.7.5 <a@encrypt.example>: Sender address rejected: Must use MEDIUM cipher suites");
  expectRefused(nullCipherSession("a@may.example"),
                "421 4.7.5 <a@may.example>: Sender address rejected: Must use MEDIUM cipher suites");

  EXPECT_TRUE(home.waitForLog(decisionLine("a@high.example", "strong-ciphers",
                                           "Rejected:must use correct high ciphers")));
  EXPECT_TRUE(home.waitForLog(decisionLine("a@encrypt.example", "tls-required",
                                           "Rejected:must use correct medium ciphers")));
  EXPECT_TRUE(home.waitForLog(decisionLine("a@may.example", "default", "Rejected:must use correct medium ciphers")));
  EXPECT_EQ(3u, postfix.maillogLines("TLSv1.2 with cipher ECDHE-ECDSA-NULL-SHA (0/0 bits)").size())
      << postfix.maillog();
  EXPECT_EQ(0, postfix.deliveredCount());
}

}  // namespace
}  // namespace pftest
