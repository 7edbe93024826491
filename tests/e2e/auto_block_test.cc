// Automatic blocks end to end, on a private PostgreSQL: a block that
// keelgate-store stores reaches the running pool through its SIGHUP, and the
// IP is refused at CONNECT until the block expires (the tool's commands and
// exit statuses are database tests: tests/db).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>

#include "tests/e2e/daemon_harness.h"
#include "tests/pg/pg_server.h"

namespace e2e {
namespace {

TEST(AutoBlocks, AStoredBlockRefusesAtConnectUntilItExpires) {
  pgtest::PgServer pg(KEELGATE_SOURCE_DIR "/sql/schema.sql");
  ASSERT_TRUE(pg.ok()) << pg.why();
  Installation home;
  home.write("config/odbc.ini", pg.odbcIni());
  auto store = [&](const std::string& args) {  // true when keelgate-store exits 0
    return system((KEELGATE_STORE_BIN " -d '" + home.home() + "' " + args + " >/dev/null 2>&1").c_str()) == 0;
  };
  ASSERT_EQ(-1, home.start());
  const std::string connect = stageRequest("CONNECT", "198.51.100.77");
  EXPECT_EQ(kNonNeed, ask(998, connect));
  EXPECT_TRUE(store("block-ip 198.51.100.77 --for 12s"));
  // The main process makes the flag files once its accept wakes (within 1 s).
  EXPECT_TRUE(waitUntil([&] { return home.flaggedWorkers().size() == 20; }, 5000));
  EXPECT_TRUE(home.serveUntilFlagsGone([&](int) { return connect; }));
  for (int port : {998, 999}) EXPECT_EQ(kIpBlocked, ask(port, connect)) << "reloaded by the tool's SIGHUP";
  EXPECT_TRUE(waitUntil([&] { return ask(998, connect) == kNonNeed && ask(999, connect) == kNonNeed; }, 30000))
      << "once expired";
  EXPECT_TRUE(store("expire"));
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
