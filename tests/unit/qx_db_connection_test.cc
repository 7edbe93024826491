#include "host/db/qx_db_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/unit/capture_log.h"
#include "tests/unit/traffic_test_support.h"

namespace {

using KELP::QxDBConnection;
using keelgate_test::captureLog;
using keelgate_test::TempDir;

class QxDBConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { log_ = &captureLog(); }
  void writeOdbc(const std::string& keys) {
    home_.write("config/odbc.ini", "[KELP]\n" + keys);
  }
  TempDir home_;
  keelgate_test::CaptureSink* log_ = nullptr;
};

TEST_F(QxDBConnectionTest, AnswersByConfigurationAndServer) {
  traffic_test::FakeAgent open;  // listens; the kernel completes connects from the backlog
  const std::string up = std::to_string(open.port()), down = std::to_string(traffic_test::closedPort());
  const struct { const char* label; std::string odbcKeys; bool alive; } cases[] = {
      {"listening port", "Driver = PostgreSQL Unicode\nServername = 127.0.0.1\nPort = " + up + "\n", true},
      {"host name", "Driver = psqlodbcw.so\nServername = localhost\nPort = " + up + "\n", true},
      {"missing Servername is 127.0.0.1", "Driver = x\nPort = " + up + "\n", true},
      {"other spelling Server", "Driver = x\nServer = 127.0.0.1\nPort = " + up + "\n", true},
      {"refusing port", "Driver = x\nServername = 127.0.0.1\nPort = " + down + "\n", false},
      {"no Driver", "Servername = 127.0.0.1\nPort = " + up + "\n", false},
      {"empty Driver", "Driver =\nServername = 127.0.0.1\nPort = " + up + "\n", false},
      {"bad Port", "Driver = x\nServername = 127.0.0.1\nPort = 5432x\n", false},
      {"Port out of range", "Driver = x\nServername = 127.0.0.1\nPort = 70000\n", false},
      {"missing socket directory", "Driver = x\nServername = /nonexistent/dir\nPort = " + up + "\n", false},
  };
  for (const auto& c : cases) {
    writeOdbc(c.odbcKeys);
    EXPECT_EQ(c.alive, QxDBConnection::isDBAlive(home_.path())) << c.label;
  }
  home_.remove("config/odbc.ini");
  EXPECT_FALSE(QxDBConnection::isDBAlive(home_.path())) << "no odbc.ini, no database";
}

TEST_F(QxDBConnectionTest, UnixSocketDirectory) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string path = (home_ / ".s.PGSQL.5433");
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(fd, 4));
  writeOdbc("Driver = x\nServername = " + home_.path() + "\nPort = 5433\n");
  EXPECT_TRUE(QxDBConnection::isDBAlive(home_.path()));
  writeOdbc("Driver = x\nServername = " + home_.path() + "\n");
  EXPECT_FALSE(QxDBConnection::isDBAlive(home_.path())) << "default port 5432 has no socket";
  close(fd);
}

TEST_F(QxDBConnectionTest, BadPortIsLogged) {
  writeOdbc("Driver = x\nPort = fast\n");
  EXPECT_FALSE(QxDBConnection::isDBAlive(home_.path()));
  EXPECT_EQ(1u, log_->count(1, "odbc data source [KELP] in [" + (home_ / "config/odbc.ini") + "]: bad value [fast] for key [Port]"));
}

}  // namespace
