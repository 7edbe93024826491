// Fixture of the database tests: the process's one PostgreSQL server (started
// by the first test that asks, stopped when the tests end), emptied before
// each test, and an installation directory whose odbc.ini points at it.
#ifndef KEELGATE_TESTS_DB_DB_FIXTURE_H
#define KEELGATE_TESTS_DB_DB_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "host/clock.h"
#include "tests/pg/pg_server.h"
#include "tests/unit/temp_home.h"
#include "throttling/smtp_conn_traffic_list.h"

namespace dbtest {

pgtest::PgServer& server();

// The lines logged at `level` that contain `part`.
inline size_t logged(int level, const std::string& part) {
  size_t n = 0;
  for (const std::string& line : KELP::testing::capturedLog().with(part))
    if (line.compare(0, 2, std::to_string(level) + " ") == 0) ++n;
  return n;
}

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server().ok()) << server().why();
    ASSERT_TRUE(server().reset());
    KELP::testing::capturedLog().install();
    home_.write("config/odbc.ini", server().odbcIni());
    home_.write("config/kelp.ini", "[kelp_manager]\nscanner_id = 7\n");
    home_.write("config/resource.ini",
                "[SmtpTrafficThrottling]\nInsertBlockedItem = \"Blocked by throttling:\"\n"
                "DeleteBlockedItem = \"Block expired:\"\n");
    list_.setHome(home_.path());
    list_.initDBConfig();
  }
  void TearDown() override { KELP::Clock::thaw(); }

  std::string rows(const std::string& query) const { return server().rows(query); }

  KELP::testing::TempHome home_;
  SmtpConnTrafficList list_;
};

}  // namespace dbtest

#endif
