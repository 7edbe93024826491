#include "host/db/qx_db_connection.h"

#include <gtest/gtest.h>

#include "tests/unit/capture_log.h"

namespace {

// The probe over TCP, as the sample odbc.ini configures it (the database
// tests reach their server through a socket directory).
TEST(QxDBConnectionTest, ProbeReachesTheServerOverTcp) {
  keelgate_test::TempDir home;
  int port = 0, listener = keelgate_test::listenLoopback(&port);
  home.write("config/odbc.ini", "[KELP]\nDriver = x\nServername = localhost\nPort = " + std::to_string(port) + "\n");
  EXPECT_TRUE(KELP::QxDBConnection::isDBAlive(home.path()));
  close(listener);
  EXPECT_FALSE(KELP::QxDBConnection::isDBAlive(home.path())) << "refused";
}

}  // namespace
