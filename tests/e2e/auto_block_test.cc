// Automatic blocks end to end, on a private PostgreSQL: keelgate-store's
// commands and exit statuses, and a block it stores reaching the running
// pool through its SIGHUP: the IP is refused at CONNECT until the block
// expires.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "tests/e2e/daemon_harness.h"
#include "tests/pg/pg_server.h"

namespace e2e {
namespace {

// keelgate-store's exit status and standard output.
std::pair<int, std::string> store(const Installation& home, const std::string& args) {
  std::string cmd = std::string(KEELGATE_STORE_BIN) + " -d '" + home.home() + "' " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[1024];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int raw = p != nullptr ? pclose(p) : -1;
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out};
}

TEST(AutoBlocks, StoreCommandsThenAStoredBlockRefusesAtConnectUntilItExpires) {
  pgtest::PgServer pg(KEELGATE_SOURCE_DIR "/sql/schema.sql");
  ASSERT_TRUE(pg.ok()) << pg.why();
  Installation home;
  EXPECT_EQ(2, store(home, "list").first) << "no database configured";
  home.write("config/odbc.ini", pg.odbcIni());
  const std::string traffic = "1\t1796340420\t192.0.2.1\t\t7\t5\n3\t1796340420\t192.0.2.2\to'neil@x\t7\t2\n";
  home.write("traffic.tsv", traffic);
  home.write("bad.tsv", "9\tx\n");
  const struct { std::string args; int status; std::string out; } commands[] = {
      {"frobnicate", 1, ""},
      {"block-ip 192.0.2.1 --for 5x", 1, ""},
      {"block-sender Spammer@Example.org --for 1h", 0, ""},  // no pool to signal is no error
      {"list", 0, "2\t-\tSpammer@Example.org\t"},
      {"unblock-sender Spammer@Example.org", 0, ""},
      {"unblock-sender Spammer@Example.org", 3, ""},
      {"version", 0, "2\n"},
      {"load-traffic < " + home.path("traffic.tsv"), 0, ""},
      {"dump-traffic", 0, traffic},
      {"load-traffic < " + home.path("bad.tsv"), 1, ""},
  };
  for (const auto& c : commands) {
    auto [status, out] = store(home, c.args);
    EXPECT_EQ(c.status, status) << c.args;
    EXPECT_NE(std::string::npos, out.find(c.out)) << c.args << ": " << out;
  }

  ASSERT_EQ(-1, home.start());
  const std::string connect = stageRequest("CONNECT", "198.51.100.77");
  EXPECT_EQ(kNonNeed, ask(998, connect));
  EXPECT_EQ(0, store(home, "block-ip 198.51.100.77 --for 12s").first);
  // The main process makes the flag files once its accept wakes (within 1 s).
  EXPECT_TRUE(waitUntil([&] { return home.flaggedWorkers().size() == 20; }, 5000));
  EXPECT_TRUE(home.serveUntilFlagsGone([&](int) { return connect; }));
  for (int port : {998, 999}) EXPECT_EQ(kIpBlocked, ask(port, connect)) << "reloaded by the tool's SIGHUP";
  EXPECT_TRUE(waitUntil([&] { return ask(998, connect) == kNonNeed && ask(999, connect) == kNonNeed; }, 30000))
      << "once expired";
  EXPECT_EQ(0, store(home, "expire").first);
  EXPECT_EQ("", pg.rows("select ip from t_sender_filter_blocked"));
  EXPECT_EQ("Deleted IP addresses or senders that expired:198.51.100.77.",
            pg.rows("select event_description from tb_system_event order by id desc limit 1"));
}

// A database that accepts connections and never answers (a listener that
// never reads): every load of the automatic blocks gives up at odbc.ini's
// LoginTimeout, at the workers' start and at a reload, and no request waits
// longer than that.
TEST(AutoBlocks, ADatabaseThatNeverAnswersHoldsNoRequestBeyondItsTimeout) {
  const int silent = listenOn("127.0.0.1", 15433);
  ASSERT_GE(silent, 0);
  Installation home;
  home.write("config/odbc.ini",
             "[KELP]\nDriver = PostgreSQL Unicode\nServername = 127.0.0.1\nPort = 15433\nDatabase = kelp\n"
             "UserName = kelp\nLoginTimeout = 2\nQueryTimeout = 2\n");
  auto ms = [](std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
  };
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(-1, home.start());
  EXPECT_LT(ms(start), 15000) << "twenty workers, each giving up after about 2 s, side by side";
  // A worker consumes its flag file before it loads, so the start is over
  // before the twenty loads are.
  EXPECT_TRUE(home.waitForLog("automatic blocks: cannot read them from the database", 15000, 20));
  ASSERT_TRUE(home.signalReload());
  long slowest = 0;
  for (int i = 0; i < 6; ++i) {  // each meets a worker that reloads
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(kNonNeed, ask(998 + i % 2, stageRequest("CONNECT", "198.51.100.23")));
    slowest = std::max<long>(slowest, ms(asked));
  }
  EXPECT_LT(slowest, 5000) << "a reload waits for the database at most its 2 s login timeout";
  EXPECT_LE(21, home.countLog("automatic blocks: cannot read them from the database"));
  close(silent);
}

}  // namespace
}  // namespace e2e
