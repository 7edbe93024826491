#include "host/qx_db_connection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/unit/capture_log.h"

namespace {

using KELP::QxDBConnection;
using keelgate_test::captureLog;
using keelgate_test::TempDir;

// A loopback TCP socket on an ephemeral port, listening or only bound (a
// bound socket that does not listen refuses connections).
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listening) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), len) != 0 ||
        (listening && listen(fd_, 4) != 0) ||
        getsockname(fd_, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0)
      ADD_FAILURE() << "cannot set up a loopback port";
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackPort() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

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
  LoopbackPort open(true), closed(false);
  const std::string up = std::to_string(open.port()), down = std::to_string(closed.port());
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
}

TEST_F(QxDBConnectionTest, NoOdbcIniMeansNoDatabase) {
  EXPECT_FALSE(QxDBConnection::isDBAlive(home_.path()));
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
