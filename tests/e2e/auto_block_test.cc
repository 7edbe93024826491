// Automatic blocks end to end: keelgate-store stores a block of a client IP in
// a real database, its SIGHUP makes the pool reload it, the IP is rejected at
// CONNECT, and it passes again once the block has expired.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/pool_watch.h"
#include "tests/pg/pg_server.h"

namespace e2e {
namespace {

// The tool's standard output for `args`, with its exit status in *status.
std::string storeOutput(const Installation& home, const std::string& args, int* status) {
  std::string cmd = std::string(KEELGATE_STORE_BIN) + " -d '" + home.home() + "' " + args;
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[1024];
  size_t n;
  while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int raw = p != nullptr ? pclose(p) : -1;
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

int runStore(const Installation& home, const std::string& args) {
  int status;
  storeOutput(home, args + " >/dev/null", &status);
  return status;
}

// Asks until the answer is `want` or `seconds` have passed; the last answer.
std::string askUntil(const std::string& request, const std::string& want, int seconds) {
  std::string answer;
  waitUntil([&] { return (answer = ask(998, request)) == want; }, seconds * 1000);
  return answer;
}

TEST(AutoBlocks, StoredBlockRejectsAtConnectUntilItExpires) {
  pgtest::PgServer pg(std::string(KEELGATE_SOURCE_DIR) + "/sql/schema.sql");
  ASSERT_TRUE(pg.ok()) << pg.why();
  Installation home;
  home.logAtDebugLevel();
  home.write("config/odbc.ini", pg.odbcIni());
  ASSERT_EQ(-1, home.start());
  const std::string connect = connectFrom("198.51.100.77");
  EXPECT_EQ(kNonNeed, ask(998, connect));

  ASSERT_EQ(0, runStore(home, "block-ip 198.51.100.77 --for 4s"));
  EXPECT_EQ(kIpBlocked, askUntil(connect, kIpBlocked, 10)) << "after the reload";
  EXPECT_TRUE(home.waitForLog("ip [198.51.100.77] is blocked ip, catch it"));
  EXPECT_EQ("1", pg.rows("select version from tb_tables_version"));

  EXPECT_EQ(kNonNeed, askUntil(connect, kNonNeed, 15)) << "once expired";
  EXPECT_TRUE(home.waitForLog("ip [198.51.100.77] is blocked ip, but expired, pass it"));

  EXPECT_EQ(0, runStore(home, "expire"));
  EXPECT_EQ("", pg.rows("select ip from t_sender_filter_blocked"));
  EXPECT_EQ("Deleted IP addresses or senders that expired:198.51.100.77.",
            pg.rows("select event_description from tb_system_event order by id desc limit 1"));
}

TEST(AutoBlocks, StoreToolCommands) {
  pgtest::PgServer pg(std::string(KEELGATE_SOURCE_DIR) + "/sql/schema.sql");
  ASSERT_TRUE(pg.ok()) << pg.why();
  Installation home;
  home.write("config/odbc.ini", pg.odbcIni());
  int status = -1;
  EXPECT_EQ(0, runStore(home, "block-sender Spammer@Example.org --for 1h 2>/dev/null"))
      << "no daemon running is no error";
  std::string listed = storeOutput(home, "list", &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, listed.find("2\t-\tSpammer@Example.org\t")) << listed;
  EXPECT_EQ(0, runStore(home, "unblock-sender Spammer@Example.org"));
  EXPECT_EQ("", pg.rows("select sender from t_sender_filter_blocked"));
  EXPECT_EQ(3, runStore(home, "unblock-sender Spammer@Example.org 2>/dev/null")) << "nothing to unblock";
  EXPECT_EQ("2\n", storeOutput(home, "version", &status)) << "bumped by the block and the unblock";

  const std::string traffic = "1\t1796340420\t192.0.2.1\t\t7\t5\n3\t1796340420\t192.0.2.2\to'neil@x\t7\t2\n";
  home.write("traffic.tsv", traffic);
  EXPECT_EQ(0, runStore(home, "load-traffic < " + home.path("traffic.tsv")));
  EXPECT_EQ(traffic, storeOutput(home, "dump-traffic", &status));
  home.write("bad.tsv", "9\tx\n");
  EXPECT_EQ(1, runStore(home, "load-traffic 2>/dev/null < " + home.path("bad.tsv")));
}

TEST(AutoBlocks, StoreToolExitStatuses) {
  Installation home;
  const struct { const char* label; std::string args; int status; } cases[] = {
      {"no command", "", 1},
      {"unknown command", "frobnicate", 1},
      {"no duration", "block-ip 192.0.2.1", 1},
      {"bad duration", "block-ip 192.0.2.1 --for 5x", 1},
      {"no database configured", "list", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status, runStore(home, c.args + " 2>/dev/null")) << c.label;
}

}  // namespace
}  // namespace e2e
