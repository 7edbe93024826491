// TLS policies on real SMTP sessions: Postfix asks keelgate at MAIL, and the
// client reads keelgate's refusal in Postfix's reply, or the message arrives
// with the X-KELP-TLS-USAGE header keelgate had Postfix prepend. The sender's
// domain picks the policy (kClient matches no client entry): each level, each
// cipher class, a certificate Postfix verified or not, a NULL cipher outside
// both classes, and clients that name attributes in their EHLO or sender.
#include <gtest/gtest.h>

#include "tests/postfix/postfix_gateway.h"

namespace pftest {
namespace {

const char kPolicies[] =
    "[default]\nlevel = may\ncipher = medium\n"
    "[policy no-tls]\nlevel = none\ndomains = none.example\n"
    "[policy tls-required]\nlevel = encrypt\ncipher = medium\ndomains = encrypt.example\n"
    "[policy partner]\nlevel = verify\ncipher = high\ndomains = verify.example\n"
    "[policy strong-ciphers]\nlevel = encrypt\ncipher = high\ndomains = high.example\n";

class TlsSessions : public PostfixGateway {
 protected:
  std::string withCert(const std::string& name) const {
    return "--tls --tls-cert " + dir + "/certs/" + name + ".pem --tls-key " + dir + "/certs/" + name + ".key";
  }
};

TEST_F(TlsSessions, EachLevelAndCipherClass) {
  home.write("config/tls_policy.ini", kPolicies);
  setPostfix("tls_medium_cipherlist = aNULL:-aNULL:HIGH:MEDIUM:eNULL:@STRENGTH:@SECLEVEL=0");  // NULL too
  startGateway();
  const std::string tls13 = "--tls --tls-protocol tlsv1_3", tls12 = "--tls --tls-protocol tlsv1_2";
  const struct { const char* label; std::string sender, options, usage, refusal; } sessions[] = {
      {"none, plain", "a@none.example", "", "Unused", ""},
      {"none, TLS", "a@none.example", tls13, "", "421 4.7.0 <a@none.example>: Sender address rejected: Must not use TLS"},
      {"may, plain", "a@may.example", "", "Unused", ""},
      {"may, TLS 1.3", "a@may.example", tls13, "Used", ""},
      {"may, NULL cipher", "a@may.example", "null", "",
       "421 4.7.5 <a@may.example>: Sender address rejected: Must use MEDIUM cipher suites"},
      {"encrypt, plain", "a@encrypt.example", "", "", "530 5.7.0 <a@encrypt.example>: Sender address rejected: Must use TLS"},
      {"encrypt, TLS 1.2", "a@encrypt.example", tls12, "Used", ""},
      {"encrypt high, TLS 1.2", "a@high.example", tls12, "Used", ""},
      {"encrypt high, NULL cipher", "a@high.example", "null", "",
       "421 4.7.5 <a@high.example>: Sender address rejected: Must use HIGH cipher suites"},
      {"verify, plain", "a@verify.example", "", "", "530 5.7.0 <a@verify.example>: Sender address rejected: Must use TLS"},
      {"verify, no certificate", "a@verify.example", tls13, "",
       "421 4.7.1 <a@verify.example>: Sender address rejected: Unverified client certificate"},
      {"verify, a certificate Postfix verified", "a@verify.example", withCert("client"), "Used", ""},
      {"verify, a certificate Postfix could not", "a@verify.example", withCert("rogue"), "",
       "421 4.7.1 <a@verify.example>: Sender address rejected: Unverified client certificate"},
      // What a client chooses never stands in for another attribute, and the
      // domain is the one after the last '@'.
      {"EHLO naming a cipher, plain", "a@encrypt.example", "--helo encryption_cipher=TLS_AES_256_GCM_SHA384", "",
       "530 5.7.0 <a@encrypt.example>: Sender address rejected: Must use TLS"},
      {"sender naming a certificate, TLS without one", "ccert_subject=CN=x@verify.example", tls13, "",
       "421 4.7.1 <ccert_subject=CN=x@verify.example>: Sender address rejected: Unverified client certificate"},
      {"quoted local part with an inner '@', plain", "'\"x@y\"@verify.example'", "", "",
       "530 5.7.0 <x@y@verify.example>: Sender address rejected: Must use TLS"},
  };
  for (const auto& s : sessions) {
    Session session = s.options == "null" ? nullCipherSession(s.sender) : swaks(s.sender, s.options);
    if (s.refusal.empty())
      EXPECT_EQ(std::vector<std::string>{s.usage}, usageHeaders(session)) << s.label << "\n" << session.transcript;
    else
      EXPECT_TRUE(session.saw(s.refusal) && session.queueId().empty()) << s.label << "\n" << session.transcript;
  }
}

}  // namespace
}  // namespace pftest
