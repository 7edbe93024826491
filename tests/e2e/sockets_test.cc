// The worker loop on real sockets: one read per connection (at most 2047
// bytes, whatever arrives later is not waited for), silent clients given up
// after request_timeout without holding up the others, and a stop that ends
// a worker waiting for a silent client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/daemon_harness.h"

namespace e2e {
namespace {

TEST(Sockets, OneReadPerConnectionAndClientsThatFail) {
  Installation home;
  home.logAtDebugLevel();
  ASSERT_EQ(-1, home.start());  // request_timeout = 2, the sample's

  // A long helo_name brings the request to 2047 bytes, or past them.
  const size_t room = 2047 - policyRequest().size() + std::string("mx.example.org").size();
  const struct { const char* label; std::string text, answer; } cases[] = {
      {"no request= is a probe", "ping\n\n", "220 i am ok\n"},
      {"nothing sent, nothing answered", "", ""},
      {"2047 bytes, read whole", policyRequest({{"helo_name", std::string(room, 'h')}}), kUnused},
      {"2049 bytes: the last attribute loses its line feed", policyRequest({{"helo_name", std::string(room + 2, 'h')}}),
       kAttrError},
  };
  for (const auto& c : cases) EXPECT_EQ(c.answer, ask(999, c.text)) << c.label;

  // The request in two segments: the worker answers from the first.
  const std::string mail = policyRequest();
  const size_t half = mail.find("ccert_subject");
  int before = home.countLog("get data success from socket");
  int fd = connectTo(999);
  ASSERT_EQ(static_cast<ssize_t>(half), send(fd, mail.data(), half, MSG_NOSIGNAL));
  ASSERT_TRUE(home.waitForLog("get data success from socket", 10000, before + 1));
  send(fd, mail.data() + half, mail.size() - half, MSG_NOSIGNAL);
  EXPECT_EQ(kAttrError, readToEnd(fd));
  close(fd);

  // Twenty-five silent clients, more than there are workers: the pool
  // answers meanwhile and closes each of them once its time is up.
  std::vector<int> silent;
  for (int i = 0; i < 25; ++i) silent.push_back(connectTo(i % 2 ? 998 : 999));
  EXPECT_TRUE(waitUntil(
      [&] {
        EXPECT_EQ(kNonNeed, ask(998, stageRequest("CONNECT", "198.51.100.23")));
        EXPECT_EQ(kUnused, ask(999, mail));
        return home.countLog("normal no request from client within 2 seconds, connection closed") >= 25;
      },
      30000));
  char c;
  for (int s : silent) EXPECT_EQ(0, recv(s, &c, 1, 0)) << "closed without an answer";
  for (int s : silent) close(s);

  // With no time limit, a silent client holds its worker until a stop.
  home.setKelpIni("keelgate", "request_timeout", "0");
  ASSERT_TRUE(home.signalReload());
  ASSERT_TRUE(home.serveUntilFlagsGone([&](int) { return mail; }));
  pid_t holder = home.holdAWorker(999, fd);
  ASSERT_GT(holder, 0);
  ASSERT_EQ(0, kill(holder, SIGTERM));
  EXPECT_TRUE(waitUntil([&] { return home.poolPids().size() == 19; }, 20000));
  EXPECT_EQ(0, recv(fd, &c, 1, 0)) << "closed without an answer";
  close(fd);
  EXPECT_EQ(1, home.countLog("keelgate[" + std::to_string(holder) + "] normal flush blocked SMTP Traffic"));
  EXPECT_EQ(kUnused, ask(999, mail));
}

}  // namespace
}  // namespace e2e
