// Fixture of the database tests: the process's one PostgreSQL server (started
// by the first test that asks, stopped when the tests end), emptied before
// each test, and an installation directory whose odbc.ini points at it.
#ifndef KEELGATE_TESTS_DB_DB_FIXTURE_H
#define KEELGATE_TESTS_DB_DB_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "host/base/clock.h"
#include "tests/pg/pg_server.h"
#include "tests/unit/capture_log.h"
#include "throttling/smtp_conn_traffic_list.h"

namespace dbtest {

inline pgtest::PgServer& server() {
  static pgtest::PgServer the_server(std::string(KEELGATE_SOURCE_DIR) + "/sql/schema.sql");
  return the_server;
}

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server().ok()) << server().why();
    ASSERT_TRUE(server().reset());
    log_ = &keelgate_test::captureLog();
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

  keelgate_test::TempDir home_;
  keelgate_test::CaptureSink* log_ = nullptr;
  SmtpConnTrafficList list_;
};

}  // namespace dbtest

#endif
