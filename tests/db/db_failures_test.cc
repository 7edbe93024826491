// What the store does when the database is not there or not as expected.
#include <sys/wait.h>
#include <unistd.h>

#include "host/config/config_file_on_disk.h"
#include "tests/db/db_fixture.h"

namespace dbtest {
namespace {

class DbFailuresTest : public DbTest {};

// A connection that cannot be made fails the operation and the process goes
// on; run in a child so that a process that ended would show.
TEST_F(DbFailuresTest, ConnectFailureFailsTheOperation) {
  const struct { const char* label; std::string odbcIni; } cases[] = {
      {"server not there", "[KELP]\nDriver = PostgreSQL Unicode\nServername = " + home_.path() +
                               "\nPort = 5432\nDatabase = kelp\nUserName = kelp\nPassword = secret\n"},
      {"wrong password", server().odbcIni("wrong")},
      {"no odbc.ini", ""},
  };
  for (const auto& c : cases) {
    if (c.odbcIni.empty()) home_.remove("config/odbc.ini");
    else home_.write("config/odbc.ini", c.odbcIni);
    const std::string logPath = (home_ / "log/" + std::string(c.label) + ".log");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KELP::LogFileSink sink(logPath);
      KELP::Log::Init(&sink, KELP::LOG_DEBUG);
      SmtpConnTrafficList list;
      list.setHome(home_.path());
      list.initDBConfig();
      list.getVersionNumber();
      _exit(99);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 99) << c.label << ": status " << status;
    std::string log;
    KELP::readWholeFile(logPath, log);
    EXPECT_NE(std::string::npos, log.find("normal Database connect error! End connect DB")) << c.label << "\n" << log;
    EXPECT_EQ(std::string::npos, log.find("get version number=")) << c.label;
  }
}

TEST_F(DbFailuresTest, MissingTablesAreNamed) {
  ASSERT_TRUE(server().sql("drop table tb_tables_version; drop table t_sender_filter_blocked"));
  EXPECT_EQ(0, list_.getVersionNumber());
  EXPECT_EQ(1u, logged(1, "relation \"tb_tables_version\" does not exist"));
  EXPECT_EQ(1u, logged(1, "failed to update version number"));
  EXPECT_FALSE(list_.updateVersionNumber());
  EXPECT_FALSE(list_.isAnyBlockExpire());
  EXPECT_FALSE(list_.releaseDropBlockList());
  EXPECT_EQ(1u, logged(1, "failed to delete blocked list from DB"));
  log_->clear();
  EXPECT_FALSE(list_.insertBlockedToDB("10.0.0.5", "", 1, 1, 2)) << "a failed check stores and announces nothing";
  EXPECT_EQ(1u, logged(1, "failed to select exist blocked item [10.0.0.5] exists in DB,skip insert"));
  EXPECT_EQ("", rows("select event_description from tb_system_event"));
  EXPECT_EQ(0, list_.dbConnectionUsers());
  ASSERT_TRUE(server().sql("drop table tb_system_event"));
  EXPECT_FALSE(list_.WriteSysEvtToDB(30000, "text", 1)) << "a failed insert fails";
  EXPECT_EQ(1u, logged(1, "Call excuteUpdate() failed: SQL=insert into tb_system_event"));
  // Put the schema back for the tests that follow in this process.
  std::string schema;
  ASSERT_TRUE(KELP::readWholeFile(std::string(KEELGATE_SOURCE_DIR) + "/sql/schema.sql", schema));
  ASSERT_TRUE(server().sql("set role kelp;" + schema));
}

}  // namespace
}  // namespace dbtest
