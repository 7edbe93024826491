// The whole loop on one scanner: the real daemon counts, the real agent
// decides, PostgreSQL stores. Over the IP connection limit the next CONNECT
// is refused, and the block's row, its system event and a new version number
// are in the database; over the sender limit the next MAIL is refused; once
// the IP's block time is over the client passes again and its row is gone;
// a child's report pushes a key over the limit; an agent restarted within
// the interval still blocks at the right count.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

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
  // Whatever fails below, the agent does not outlive the test.
  struct StopAgentAtEnd {
    const Installation& home;
    ~StopAgentAtEnd() {
      pid_t pid = atoi(home.read("bin/keelgate-agent.pid").c_str());
      if (pid > 0 && kill(pid, SIGTERM) == 0) waitUntil([&] { return reapExited(), kill(pid, 0) != 0; }, 40000);
    }
  } stopAtEnd{home};
  ASSERT_EQ(0, system(agent.c_str())) << "the agent starts and detaches";
  const std::string version = pg.rows("select version from tb_tables_version");

  const std::string connect = stageRequest("CONNECT", "198.51.100.50");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kNonNeed, ask(998, connect)) << "connection " << i + 1;
  EXPECT_TRUE(waitUntil([&] { return ask(998, connect) == kIpBlocked && ask(998, connect) == kIpBlocked; }, 5000))
      << "the fourth and later are refused";
  EXPECT_TRUE(waitUntil([&] { return pg.rows("select ip from t_sender_filter_blocked") == "198.51.100.50"; }, 5000));
  EXPECT_EQ("insert blocked list of SMTP Traffic Throttling to DB:198.51.100.50.",
            pg.rows("select event_description from tb_system_event order by id limit 1"));
  EXPECT_NE(version, pg.rows("select version from tb_tables_version"));

  for (const char* ip : {"198.51.100.61", "198.51.100.62"})
    EXPECT_EQ(kUnused, ask(999, stageRequest("MAIL", ip, "Bulk@Flood.example")));
  EXPECT_TRUE(waitUntil([&] {
    return ask(999, stageRequest("MAIL", "198.51.100.63", "bulk@flood.example")) == kSenderBlocked;
  }, 5000)) << "the sender's third message, whatever its case";

  EXPECT_TRUE(waitUntil([&] { return ask(998, connect) == kNonNeed; }, 15000)) << "the IP's 4 s are over";
  EXPECT_TRUE(waitUntil([&] {
    return pg.rows("select count(*) from t_sender_filter_blocked where ip = '198.51.100.50'") == "0";
  }, 15000)) << "and its row is gone";

  // A child's report counts with the parent's own traffic: two from scanner
  // 2, then one through this daemon reaches the limit.
  const std::string reported = stageRequest("CONNECT", "198.51.100.80");
  int child = connectTo(10040);
  ASSERT_GE(child, 0);
  const std::string report = "ORCAS-Conn-IP:1800000000;2;1;2;198.51.100.80\n";
  ASSERT_EQ(static_cast<ssize_t>(report.size()), write(child, report.data(), report.size()));
  close(child);
  EXPECT_EQ(kNonNeed, ask(998, reported));
  EXPECT_TRUE(waitUntil([&] {
    return home.read("bin/keelgate-agent.blocks").find("198.51.100.80") != std::string::npos;
  }, 5000)) << "blocked at the third, with no further connection";
  EXPECT_TRUE(waitUntil([&] { return home.flaggedWorkers().size() == 20; }, 5000));
  EXPECT_EQ(kIpBlocked, ask(998, reported));

  // An agent restarted within the interval reads back the counts it stored
  // and still blocks at the limit: two connections before, one after.
  auto stopAgent = [&] {
    pid_t pid = atoi(home.read("bin/keelgate-agent.pid").c_str());
    ASSERT_LT(0, pid);
    ASSERT_EQ(0, kill(pid, SIGTERM));
    EXPECT_TRUE(waitUntil([&] { return reapExited(), kill(pid, 0) != 0; }, 40000)) << "the agent stops";
  };
  const std::string other = stageRequest("CONNECT", "198.51.100.70");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(kNonNeed, ask(998, other));
  EXPECT_TRUE(waitUntil([&] {
    return pg.rows("select count from t_sender_filter_conn_traffic where ip = '198.51.100.70'") == "2";
  }, 5000)) << "stored within its store interval";
  stopAgent();
  ASSERT_EQ(0, system(agent.c_str())) << "the agent starts again";
  EXPECT_EQ(kNonNeed, ask(998, other)) << "the third reaches the limit";
  EXPECT_TRUE(waitUntil([&] { return ask(998, other) == kIpBlocked; }, 5000)) << "the fourth is refused";
  stopAgent();
}

}  // namespace
}  // namespace e2e
