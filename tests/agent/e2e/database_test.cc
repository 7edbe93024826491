// The parent's agent against a real PostgreSQL: a block decided while the
// database is stopped is stored, with its system event and a new version
// number, once the database is back; the counts are stored too.
#include <gtest/gtest.h>

#include "tests/agent/e2e/agent_home.h"
#include "tests/pg/pg_server.h"

namespace agenttest {
namespace {

TEST(Database, BlockDecidedDuringAnOutageIsStoredWhenItIsBack) {
  pgtest::PgServer db(std::string(KEELGATE_SOURCE_DIR) + "/sql/schema.sql");
  ASSERT_TRUE(db.ok()) << db.why();
  AgentHome home;
  home.write("config/odbc.ini", db.odbcIni());
  home.write("config/kelp.ini", kelpIni(2, "store_interval = 1\nexpire_interval = 1\n"));
  ASSERT_TRUE(db.stop());
  ASSERT_TRUE(home.start());

  int fd = connectTo(10040);
  ASSERT_TRUE(sendAll(fd, "ORCAS-Conn-IP:1;1;1;1;10.0.0.1\nORCAS-Conn-IP:1;1;1;1;10.0.0.1\n"
                          "ORCAS-Conn-IP:1;1;1;1;10.0.0.2\n"));
  ASSERT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_blocks_pending") == 1; }));
  EXPECT_EQ(home.metric("keelgate_agent_database_up"), 0);
  EXPECT_TRUE(waitUntil([&] { return !home.read("bin/keelgate-agent.blocks").empty(); }))
      << "the block applies without the database";

  ASSERT_TRUE(db.start());
  EXPECT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_blocks_pending") == 0; }, 20000));
  EXPECT_EQ(db.rows("select ip, sender, type, expiration - blocked_start_time from t_sender_filter_blocked"),
            "10.0.0.1||1|600");
  EXPECT_NE(db.rows("select event_description from tb_system_event")
                .find("insert blocked list of SMTP Traffic Throttling to DB:10.0.0.1."),
            std::string::npos);
  EXPECT_EQ(db.rows("select version > 0 from tb_tables_version where tb_name='smpt_traffic_throttling'"), "t");
  EXPECT_TRUE(waitUntil([&] {
    return db.rows("select ip, type, count from t_sender_filter_conn_traffic") == "10.0.0.2|1|1";
  }));
  EXPECT_EQ(home.metric("keelgate_agent_database_up"), 1);
  EXPECT_EQ(home.stop(), 0);
}

}  // namespace
}  // namespace agenttest
