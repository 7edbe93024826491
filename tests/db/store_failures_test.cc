// keelgate-store's commands and exit statuses, and the tool and the store
// against a failing server: nothing half done, no wait past a timeout, no
// signal to a stranger, values byte for byte, blocks past 2038, and no log of
// the driver's own in /tmp.
#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>

#include "host/config/config_file_on_disk.h"
#include "host/lists/auto_block_store.h"
#include "tests/db/db_fixture.h"

namespace dbtest {
namespace {

const char kLimits[] = "LoginTimeout = 2\nQueryTimeout = 1\n";  // seconds
const double kLoginBound = 2 + 2.5, kQueryBound = 1 + 2.5;     // with a margin for a busy machine

class StoreFailuresTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    home_.write("config/odbc.ini", server().odbcIni() + kLimits);
  }
  void TearDown() override {  // the driver's own log would be /tmp/psqlodbc_<program>_<user><pid>.log
    runs_.emplace_back(program_invocation_short_name, getpid());
    for (const auto& run : runs_) {
      std::string log = "/tmp/psqlodbc_" + run.first + "_" + getpwuid(getuid())->pw_name + std::to_string(run.second);
      EXPECT_NE(0, access((log + ".log").c_str(), F_OK)) << log;
    }
    DbTest::TearDown();
  }
  // f(), its duration in took_.
  template <typename F> auto timed(F f) {
    auto start = std::chrono::steady_clock::now();
    auto result = f();
    took_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
  }
  // keelgate-store ARGS < input: its exit status; its standard output in out_.
  int store(const std::vector<std::string>& args, const std::string& input = "") {
    std::string cmd = "echo $$ >" + home_ / "pid" + "; exec " KEELGATE_STORE_BIN " -d " + home_.path();
    for (const std::string& arg : args) {
      cmd += " '";
      for (char ch : arg) cmd += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
      cmd += "'";
    }
    home_.write("in", input);
    int status = timed([&] { return system((cmd + " <" + home_ / "in" + " >" + home_ / "out").c_str()); });
    std::string pid;
    KELP::readWholeFile(home_ / "pid", pid), KELP::readWholeFile(home_ / "out", out_);
    runs_.emplace_back("keelgate-store", atoi(pid.c_str()));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string snapshot() const {
    return rows("select * from t_sender_filter_blocked order by ip") + "\n" +
           rows("select event_description from tb_system_event order by id") + "\n" +
           rows("select version from tb_tables_version") + "\n" +
           rows("select ip, sender, type, count from t_sender_filter_conn_traffic order by type, ip");
  }
  // Another session, holding `table` locked until its rollback().
  std::unique_ptr<KELP::QxDBConnection> lock(const std::string& table) {
    auto holder = std::make_unique<KELP::QxDBConnection>(KELP::QxDBConnection::ODBC_VERSION_3, home_.path());
    KELP::QxDBStatement* st = nullptr;
    KELP::QxDBResultset* none = nullptr;
    EXPECT_TRUE(holder->connect("KELP", "", "", "", 0, 1, 10, 0) == 0 && holder->beginTransaction() == 0 &&
                holder->prepareStatement(("lock table " + table + " in access exclusive mode").c_str(), &st) == 0 &&
                st->excuteQuery(&none) == 0);
    holder->releaseStatement(st);
    return holder;
  }

  std::vector<std::pair<std::string, pid_t>> runs_;  // program and pid of each process run
  double took_ = 0;
  std::string out_;
};

TEST_F(StoreFailuresTest, CommandsAndTheirExitStatuses) {
  const std::string traffic = "1\t1796340420\t192.0.2.1\t\t7\t5\n3\t1796340420\t192.0.2.2\to'neil@x\t7\t2\n";
  const struct { std::vector<std::string> args; std::string input; int status; std::string out; } commands[] = {
      {{"frobnicate"}, "", 1, ""},
      {{"block-ip", "192.0.2.1", "--for", "5x"}, "", 1, ""},
      {{"block-sender", "Spammer@Example.org", "--for", "1h"}, "", 0, ""},  // no pool to signal is no error
      {{"list"}, "", 0, "2\t-\tSpammer@Example.org\t"},
      {{"unblock-sender", "Spammer@Example.org"}, "", 0, ""},
      {{"unblock-sender", "Spammer@Example.org"}, "", 3, ""},
      {{"version"}, "", 0, "2\n"},
      {{"load-traffic"}, traffic, 0, ""},
      {{"dump-traffic"}, "", 0, traffic},
  };
  for (const auto& c : commands) {
    EXPECT_EQ(c.status, store(c.args, c.input)) << c.args[0];
    EXPECT_NE(std::string::npos, out_.find(c.out)) << c.args[0] << ": " << out_;
  }
  home_.remove("config/odbc.ini");
  EXPECT_EQ(2, store({"list"})) << "no database configured";
}

TEST_F(StoreFailuresTest, ARefusedOrStalledStatementChangesNothing) {
  const std::vector<std::string> block = {"block-ip", "192.0.2.1", "--for", "1h"};
  const struct { const char* label, *revoked, *locked; std::vector<std::string> args; } cases[] = {
      {"event insert refused", "insert on tb_system_event", nullptr, block},
      {"version bump refused", "update on tb_tables_version", nullptr, {"block-sender", "a@x", "--for", "1h"}},
      {"expiry's delete refused", "delete on t_sender_filter_blocked", nullptr, {"expire"}},
      {"unblock's expiry refused", "delete on t_sender_filter_blocked", nullptr, {"unblock-sender", "b@x"}},
      {"one traffic row refused", nullptr, nullptr, {"load-traffic"}},
      {"blocks unreadable", "select on t_sender_filter_blocked", nullptr, {"list"}},
      {"traffic unreadable", "select on t_sender_filter_conn_traffic", nullptr, {"dump-traffic"}},
      {"version unreadable", "select on tb_tables_version", nullptr, {"version"}},
      {"blocks locked", nullptr, "t_sender_filter_blocked", block},
      {"version locked", nullptr, "tb_tables_version", block},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(server().reset());
    ASSERT_TRUE(server().sql("insert into t_sender_filter_blocked values (true, '', 'b@x', 2, 0, 5000000000);"
                             "insert into t_sender_filter_blocked values (true, '192.0.2.9', '', 1, 0, 1);"
                             "insert into t_sender_filter_conn_traffic values ('192.0.2.6', '', now(), 1, 7, 2);"
                             "alter table t_sender_filter_conn_traffic add constraint t check (sender <> 'bad@x')"));
    const std::string before = snapshot();
    ASSERT_TRUE(c.revoked == nullptr || server().sql(std::string("revoke ") + c.revoked + " from kelp"));
    auto holder = c.locked != nullptr ? lock(c.locked) : nullptr;
    EXPECT_EQ(3, store(c.args, "1\t0\t192.0.2.7\t\t7\t3\n3\t0\t192.0.2.8\tbad@x\t7\t1\n")) << c.label;
    EXPECT_LT(took_, kQueryBound) << c.label;
    if (holder) holder->rollback();
    ASSERT_TRUE(c.revoked == nullptr || server().sql(std::string("grant ") + c.revoked + " to kelp"));
    ASSERT_TRUE(server().sql("alter table t_sender_filter_conn_traffic drop constraint t"));
    EXPECT_EQ(before, snapshot()) << c.label;
    EXPECT_EQ(std::string::npos, out_.find("blocked until")) << c.label;
  }
  EXPECT_EQ(1, store({"load-traffic"}, "1\t0\t192.0.2.7\t\tseven\t3\n")) << "a bad line: nothing touched";
}

TEST_F(StoreFailuresTest, AServerThatNeverAnswersAndALockedTableAreGivenUpInTime) {
  int port = 0, listener = keelgate_test::listenLoopback(&port);  // never accepts, never answers
  ASSERT_GE(listener, 0);
  home_.write("config/odbc.ini", "[KELP]\nDriver = PostgreSQL Unicode\nServername = 127.0.0.1\nPort = " +
                                     std::to_string(port) + "\nDatabase = kelp\n" + kLimits);
  EXPECT_EQ(2, store({"version"}));
  EXPECT_LT(took_, kLoginBound);
  close(listener);

  home_.write("config/odbc.ini", server().odbcIni() + kLimits);
  auto holder = lock("t_sender_filter_blocked");
  std::vector<AutoBlock> blocks;
  EXPECT_FALSE(timed([&] { return KELP::loadAutoBlocks(home_.path(), blocks); }));
  EXPECT_LT(took_, kQueryBound);
  holder->rollback();
}

TEST_F(StoreFailuresTest, ValuesByteForByteBlocksPast2038AndNoSignalToAStranger) {
  const std::string sender = "o'hara\\'';\\\\ drop table x; --\"@x";
  ASSERT_EQ(0, store({"block-sender", sender, "--for", "20y"}));
  EXPECT_EQ("Blocked by throttling:" + sender + ".", rows("select event_description from tb_system_event"));
  EXPECT_EQ("t", rows("select expiration > 2147483647 and expiration - blocked_start_time = 20 * 365 * 86400 "
                      "from t_sender_filter_blocked"));
  std::vector<AutoBlock> blocks;
  ASSERT_TRUE(KELP::loadAutoBlocks(home_.path(), blocks));
  ASSERT_EQ(1u, blocks.size());
  EXPECT_EQ(sender, blocks[0].sender);
  EXPECT_GT(blocks[0].expiration, 2147483647LL);

  // A stale bin/keelgate.pid naming another program; the daemon's own reload is an end-to-end test.
  pid_t child = fork();
  if (child == 0) execl("/bin/sleep", "sleep", "30", (char*)nullptr), _exit(127);
  home_.write("bin/keelgate.pid", std::to_string(child) + "\n");
  usleep(200 * 1000);  // until the exec is done
  EXPECT_EQ(0, store({"block-ip", "192.0.2.1", "--for", "1m"}));
  int status = 0;
  EXPECT_EQ(0, waitpid(child, &status, WNOHANG)) << "signalled";
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
}

}  // namespace
}  // namespace dbtest
