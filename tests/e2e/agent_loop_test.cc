// The whole loop on one scanner: the real daemon counts, the real agent
// decides, PostgreSQL stores. Over the IP connection limit the next CONNECT
// is refused and the block's row is in the database; over the sender limit
// the next MAIL is refused; once the IP's block time is over the client
// passes again and its row is gone; an agent restarted within the interval
// still blocks at the right count. The block's event and version number and
// a child scanner's counts are covered by the agent's own tests (tests/agent).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <functional>

#include "tests/e2e/daemon_harness.h"
#include "tests/pg/pg_server.h"

namespace e2e {
namespace {

TEST(AgentLoop, LimitsBlockThroughTheDatabaseAndTheBlockEnds) {
  pgtest::PgServer pg(KEELGATE_SOURCE_DIR "/sql/schema.sql");
  ASSERT_TRUE(pg.ok()) << pg.why();
  Installation home;
  home.write("config/odbc.ini", pg.odbcIni(), 0640);
  ASSERT_EQ(0, system(("chgrp kelp '" + home.path("config/odbc.ini") + "'").c_str())) << "read by the pool and the agent";
  for (const auto& kv : std::vector<std::pair<const char*, const char*>>{
           {"ip_conn_enable", "yes"}, {"ip_conn_limit", "3"}, {"ip_block_time", "4"},
           {"sender_enable", "yes"}, {"sender_msg_limit", "2"}, {"sender_block_time", "600"}})
    home.setKelpIni("smtp_traffic_throttling", kv.first, kv.second);
  home.setKelpIni("smtp_agent", "expire_interval", "1");
  home.setKelpIni("smtp_agent", "store_interval", "1");
  ASSERT_EQ(-1, home.start());  // first: it counts the processes it reaps
  const std::string agent = "KELP_HOME='" + home.home() + "' " KEELGATE_AGENT_BIN;
  // True once the agent of the pid file has stopped; run at the end whatever
  // fails below, so that the agent does not outlive the test.
  auto stopAgent = [&home] {
    pid_t pid = atoi(home.read("bin/keelgate-agent.pid").c_str());
    return pid > 0 && kill(pid, SIGTERM) == 0 && waitUntil([&] { return reapExited(), kill(pid, 0) != 0; }, 40000);
  };
  struct AtEnd { std::function<void()> run; ~AtEnd() { run(); } } stopAtEnd{[&] { stopAgent(); }};
  ASSERT_EQ(0, system(agent.c_str())) << "the agent starts and detaches";

  const std::string connect = stageRequest("CONNECT", "198.51.100.50");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kNonNeed, ask(998, connect)) << "connection " << i + 1;
  EXPECT_TRUE(waitUntil([&] { return ask(998, connect) == kIpBlocked && ask(998, connect) == kIpBlocked; }, 5000))
      << "the fourth and later are refused";
  EXPECT_TRUE(waitUntil([&] { return pg.rows("select ip from t_sender_filter_blocked") == "198.51.100.50"; }, 5000));

  for (const char* ip : {"198.51.100.61", "198.51.100.62"})
    EXPECT_EQ(kUnused, ask(999, stageRequest("MAIL", ip, "Bulk@Flood.example")));
  EXPECT_TRUE(waitUntil([&] {
    return ask(999, stageRequest("MAIL", "198.51.100.63", "bulk@flood.example")) == kSenderBlocked;
  }, 5000)) << "the sender's third message, whatever its case";

  EXPECT_TRUE(waitUntil([&] { return ask(998, connect) == kNonNeed; }, 15000)) << "the IP's 4 s are over";
  EXPECT_TRUE(waitUntil([&] {
    return pg.rows("select count(*) from t_sender_filter_blocked where ip = '198.51.100.50'") == "0";
  }, 15000)) << "and its row is gone";

  // An agent restarted within the interval reads back the counts it stored
  // and still blocks at the limit: two connections before, one after.
  const std::string other = stageRequest("CONNECT", "198.51.100.70");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(kNonNeed, ask(998, other));
  EXPECT_TRUE(waitUntil([&] {
    return pg.rows("select count from t_sender_filter_conn_traffic where ip = '198.51.100.70'") == "2";
  }, 5000)) << "stored within its store interval";
  ASSERT_TRUE(stopAgent());
  ASSERT_EQ(0, system(agent.c_str())) << "the agent starts again";
  EXPECT_EQ(kNonNeed, ask(998, other)) << "the third reaches the limit";
  EXPECT_TRUE(waitUntil([&] { return ask(998, other) == kIpBlocked; }, 5000)) << "the fourth is refused";
}

}  // namespace
}  // namespace e2e
