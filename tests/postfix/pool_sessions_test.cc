// The pool's life as Postfix sees it: a SIGHUP between two sessions changes
// the answer of the second, and a stopped pool leaves Postfix to its
// smtpd_policy_service_default_action, the 451 that postfix-instance.sh sets.
#include <gtest/gtest.h>

#include "tests/postfix/postfix_gateway.h"

namespace pftest {
namespace {

class PoolSessions : public PostfixGateway {};

TEST_F(PoolSessions, ReloadBetweenSessionsThenStoppedPool) {
  postfixWarningsExpected = true;  // about the stopped pool
  startGateway();
  EXPECT_EQ(std::vector<std::string>{"Unused"}, usageHeaders(swaks("a@may.example")));

  home.write("config/tls_policy.ini", "[default]\nlevel = encrypt\ncipher = medium\n");
  ASSERT_TRUE(home.signalReload());
  Session plain = swaks("a@may.example");
  EXPECT_TRUE(plain.saw("<** 530 5.7.0 <a@may.example>: Sender address rejected: Must use TLS")) << plain.transcript;
  EXPECT_EQ(std::vector<std::string>{"Used"}, usageHeaders(swaks("b@may.example", "--tls")));

  home.stopPool();
  Session s = swaks("a@may.example");
  EXPECT_TRUE(s.saw("<** 451 4.3.5 <unknown[127.0.0.2]>: Client host rejected: Server configuration problem"))
      << s.transcript;
  EXPECT_NE(std::string::npos, maillog().find("warning: connect to 127.0.0.1:998: Connection refused"));
}

}  // namespace
}  // namespace pftest
