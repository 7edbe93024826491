// The pool's life as Postfix sees it: a SIGHUP between two sessions changes
// the answer of the second, and a stopped pool leaves Postfix to its
// smtpd_policy_service_default_action: refuse (the recommended 451) or let
// mail through unmarked (DUNNO).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/e2e/pool_watch.h"
#include "tests/postfix/postfix_gateway.h"

namespace pftest {
namespace {

class PoolSessions : public PostfixGateway {
 protected:
  // Ends every process of the pool and leaves Postfix running.
  bool stopPoolOnly() {
    kill(-getpgid(home.mainPid()), SIGTERM);
    return e2e::waitUntil([&] { return home.poolPids().empty(); }, 5000);
  }
};

TEST_F(PoolSessions, SighupBetweenTwoSessionsAppliesTheNewPolicy) {
  startGateway();
  std::string message = postfix.waitForMessage(swaks("a@may.example").queueId());
  EXPECT_EQ(std::vector<std::string>{"Unused"}, headerValues(message, "X-KELP-TLS-USAGE")) << message;

  home.write("config/tls_policy.ini", "[default]\nlevel = encrypt\ncipher = medium\n");
  ASSERT_EQ(0, kill(home.mainPid(), SIGHUP));
  ASSERT_TRUE(e2e::waitUntil([&] { return e2e::flaggedWorkers(home).size() == 20; }, 5000));

  SmtpSession plain = swaks("a@may.example");
  EXPECT_TRUE(plain.saw("<** 530 5.7.0 <a@may.example>: Sender address rejected: Must use TLS")) << plain.transcript;
  message = postfix.waitForMessage(swaks("b@may.example", {"--tls"}).queueId());
  EXPECT_EQ(std::vector<std::string>{"Used"}, headerValues(message, "X-KELP-TLS-USAGE")) << message;
  EXPECT_TRUE(home.waitForLog(decisionLine("a@may.example", "default", "Rejected:Must issue TLS")));
}

TEST_F(PoolSessions, StoppedPoolRefusesWithTheDefaultAction) {
  postfixWarningsExpected = true;
  startGateway();
  ASSERT_TRUE(stopPoolOnly());

  SmtpSession s = swaks("a@may.example");
  EXPECT_TRUE(s.saw("<** 451 4.3.5 <unknown[127.0.0.2]>: Client host rejected: Server configuration problem"))
      << s.transcript;
  EXPECT_EQ("", s.queueId());
  // Two tries (smtpd_policy_service_try_limit), then the default action.
  EXPECT_EQ(2u, postfix.maillogLines("warning: connect to 127.0.0.1:998: Connection refused").size())
      << postfix.maillog();
  EXPECT_EQ(2u, postfix.maillogLines("warning: problem talking to server 127.0.0.1:998: Connection refused").size());
  EXPECT_TRUE(postfix.waitForMaillog("NOQUEUE: reject: CONNECT from unknown[127.0.0.2]: 451 4.3.5 "
                                     "<unknown[127.0.0.2]>: Client host rejected: Server configuration problem; "
                                     "proto=SMTP"));
}

TEST_F(PoolSessions, StoppedPoolWithDunnoLetsMailThroughUnmarked) {
  postfixWarningsExpected = true;
  ASSERT_TRUE(postfix.set({"smtpd_policy_service_default_action = DUNNO"}));
  startGateway();
  ASSERT_TRUE(stopPoolOnly());

  SmtpSession s = swaks("a@encrypt.example");
  std::string message = postfix.waitForMessage(s.queueId());
  ASSERT_FALSE(message.empty()) << s.transcript;
  EXPECT_TRUE(headerValues(message, "X-KELP-TLS-USAGE").empty()) << message;
  EXPECT_EQ(2u, postfix.maillogLines("warning: problem talking to server 127.0.0.1:999: Connection refused").size())
      << postfix.maillog();
}

}  // namespace
}  // namespace pftest
