// The generic answers of the policy service, over real sockets, and bad input
// that must never cost the pool its ability to answer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/pool_watch.h"

namespace e2e {
namespace {

class Answers : public testing::Test {
 protected:
  void SetUp() override {
    home.logAtDebugLevel();
    ASSERT_EQ(-1, home.start());
  }
  Installation home;
};

TEST_F(Answers, EachGenericAnswerHasItsExactBytes) {
  struct Case {
    const char* label;
    int port;
    std::string request;
    std::string answer;
  } cases[] = {
      {"no request= is a test", 998, "hello there\n\n", "220 i am ok\n"},
      {"request= anywhere counts", 999, "xrequest=\n", kAttrError},
      // Which attributes are required is policy_request_test.cc's.
      {"missing client_address", 999, policyRequest({}, {"client_address"}), kAttrError},
      {"missing encryption_keysize", 999, policyRequest({}, {"encryption_keysize"}), kAttrError},
      {"localhost bypass", 999, policyRequest({{"client_address", "127.0.0.1"}}),
       "action=DUNNO Localhost Permitted\n\n"},
      {"other loopback forms are not bypassed", 998,
       policyRequest({{"client_address", "::1"}, {"protocol_state", "CONNECT"}}), kNonNeed},
      {"CONNECT stage", 998, policyRequest({{"protocol_state", "CONNECT"}}), kNonNeed},
      {"lower-case mail is not MAIL", 999, policyRequest({{"protocol_state", "mail"}}), kNonNeed},
      {"no protocol_state means no TLS check", 999, policyRequest({}, {"protocol_state"}), kNonNeed},
      {"MAIL without TLS under the default may", 999, policyRequest(), kUnused},
      {"empty values count as present", 999,
       policyRequest({{"reverse_client_name", ""}, {"sender", ""}, {"encryption_keysize", ""}}), kUnused},
  };
  for (const Case& c : cases) EXPECT_EQ(c.answer, ask(c.port, c.request)) << c.label;
  EXPECT_TRUE(home.waitForLog("normal fail to find key [client_address]"));
  EXPECT_TRUE(home.waitForLog("normal Localhost connect, no verification, response action is OK"));
  EXPECT_TRUE(home.waitForLog("debug invalid format of data, maybe a test data"));
  EXPECT_TRUE(home.waitForLog("debug keelgate verify cost ["));
}

// Postfix may send over 5 KB for an unauthenticated client (long EHLO name
// and sender): the first 2047 bytes are the request, the rest is dropped.
TEST_F(Answers, RequestIsCutAt2047Bytes) {
  // Padding pushes encryption_keysize past byte 2047: it is lost, so 451.
  std::string pad(5000, 'x');
  std::string base = policyRequest({}, {"encryption_keysize"});
  std::string cut = base.substr(0, base.size() - 1) + "x_padding=" + pad + "\nencryption_keysize=0\n\n";
  EXPECT_EQ(kAttrError, ask(999, cut));
  // The same attributes within 2047 bytes are all found.
  std::string fits = base.substr(0, base.size() - 1) + "x_padding=" +
                     std::string(2047 - base.size() - 40, 'x') + "\nencryption_keysize=0\n\n";
  ASSERT_LE(fits.size(), 2047u);
  EXPECT_EQ(kUnused, ask(999, fits));
}

TEST_F(Answers, RequestSplitOverTwoSegmentsIsAnsweredFromTheFirst) {
  std::string request = policyRequest();
  size_t half = request.find("ccert_subject");
  EXPECT_EQ(kAttrError, askInSegments(999, {request.substr(0, half), request.substr(half)}, 300));
}

TEST_F(Answers, SilentAndVanishingClientsLeaveThePoolAnswering) {
  // Closed without data: no answer and no timing line for it.
  int before = home.countLog("keelgate verify cost");
  for (int i = 0; i < 25; ++i) EXPECT_EQ("", ask(998, ""));
  EXPECT_TRUE(home.waitForLog("debug get no data from socket", 5000, 25));
  EXPECT_EQ(before, home.countLog("keelgate verify cost"));

  // Clients that send and close before reading: the write fails, the worker
  // lives on.
  for (int i = 0; i < 40; ++i) {
    std::string r = policyRequest();
    int port = i % 2 ? 998 : 999;
    int fd = connectSilently(port);
    ASSERT_LE(0, fd);
    struct linger l = {1, 0};  // reset at close, so the answer meets a dead peer
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ASSERT_GT(send(fd, r.data(), r.size(), 0), 0);
    close(fd);
  }
  for (int i = 0; i < 40; ++i) ASSERT_EQ(kUnused, ask(i % 2 ? 998 : 999, policyRequest()));
  EXPECT_EQ(20u, home.poolPids().size());
}

}  // namespace
}  // namespace e2e
