// The database wrapper, DualSource's database side and the automatic blocks
// of SmtpConnConfig against a real server.
#include <memory>

#include "host/config/dual_source.h"
#include "host/lists/smtp_conn_config.h"
#include "tests/db/db_fixture.h"

namespace dbtest {
namespace {

using KELP::QxDBConnection;
using KELP::QxDBResultset;
using KELP::QxDBStatement;

class QxDBWrapperTest : public DbTest {
 protected:
  int connect(const std::string& user = "", const std::string& password = "") {
    return conn_.connect("KELP", user, password, "", 5, 1, 10, 0);
  }
  QxDBConnection conn_{QxDBConnection::ODBC_VERSION_3, home_.path()};
};

TEST_F(QxDBWrapperTest, LoginFromOdbcIni) {
  const std::string base = server().odbcIni();
  const std::string soPath = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";
  const struct { const char* label; std::string odbcIni; std::string user, password; int rc; const char* log; } cases[] = {
      {"driver by name", base, "", "", 0, nullptr},
      {"driver by path", "[KELP]\nDriver = " + soPath + "\nServername = " + server().socketDir() +
                             "\nPort = 5432\nDatabase = kelp\nUserName = kelp\nPassword = secret\n",
       "", "", 0, nullptr},
      {"caller's login wins", server().odbcIni("wrong"), "kelp", "secret", 0, nullptr},
      {"wrong password", server().odbcIni("wrong"), "", "", -1,
       "password authentication failed for user \"kelp\""},
      {"unknown driver", "[KELP]\nDriver = NoSuchDriver\nServername = /tmp\n", "", "", -1, "[NoSuchDriver]"},
      {"malformed Port", "[KELP]\nDriver = PostgreSQL Unicode\nPort = fast\n", "", "", -1,
       "bad value [fast] for key [Port]"},
      {"no Driver", "[KELP]\nServername = /tmp\n", "", "", -1, "no database configured"},
      {"not an ini file", "Driver = PostgreSQL Unicode\n[KELP\n", "", "", -1, "no database configured"},
  };
  for (const auto& c : cases) {
    log_->clear();
    home_.write("config/odbc.ini", c.odbcIni);
    EXPECT_EQ(c.rc, connect(c.user, c.password)) << c.label;
    EXPECT_EQ(c.rc == 0 ? QxDBConnection::STATE_CONNECTED : QxDBConnection::STATE_NOT_CONNECTED, conn_.getState())
        << c.label;
    if (c.log != nullptr) {
      EXPECT_EQ(1u, logged(1, c.log)) << c.label << "\n" << log_->all();
    }
    EXPECT_EQ(0u, logged(1, "secret")) << c.label << ": no password in the log";
    conn_.disconnect();
  }
  // A password with the characters of the connection string's syntax.
  ASSERT_TRUE(server().sql("alter role kelp password 'se;c{r}=t'"));
  home_.write("config/odbc.ini", server().odbcIni("se;c{r}=t"));
  EXPECT_EQ(0, connect());
  ASSERT_TRUE(server().sql("alter role kelp password 'secret'"));
}

TEST_F(QxDBWrapperTest, StatementsParametersAndRows) {
  ASSERT_EQ(0, connect());
  QxDBStatement* st = nullptr;
  // Two commands, six parameters: 1 for the delete, 2-6 for the insert.
  ASSERT_EQ(0, conn_.prepareStatement("delete from t_sender_filter_blocked where ip=?;"
                                      "insert into t_sender_filter_blocked values(true,?,?,?,?,?)", &st));
  std::string ip = "10.0.0.9", sender = "a'b\\c@x";
  for (long expiration : {100L, 200L}) {
    long type = 1, start = 50;
    st->setParameter(1, (unsigned char*)ip.data(), static_cast<int>(ip.size()), false);
    st->setParameter(2, (unsigned char*)ip.data(), static_cast<int>(ip.size()), false);
    st->setParameter(3, (unsigned char*)sender.data(), static_cast<int>(sender.size()), false);
    st->setParameter(4, type);
    st->setParameter(5, start);
    st->setParameter(6, expiration);
    QxDBResultset* none = nullptr;
    EXPECT_EQ(0, st->excuteQuery(&none)) << log_->all();
  }
  conn_.releaseStatement(st);
  EXPECT_EQ("10.0.0.9|a'b\\c@x|200", rows("select ip, sender, expiration from t_sender_filter_blocked"));

  long tooBig = 1L << 40;
  long long big = 1LL << 40;
  ASSERT_EQ(0, conn_.prepareStatement("select ?::bigint as big, null as nothing, 'x' as word, 7 as \"Seven\"", &st));
  EXPECT_NE(0, st->setParameter(1, tooBig)) << "a 32-bit parameter out of range";
  EXPECT_EQ(0, st->setParameter64(1, big));
  QxDBResultset* r = nullptr;
  ASSERT_EQ(0, st->excuteQuery(&r));
  ASSERT_EQ(0, r->next());
  long long ll = 0;
  int i = 0;
  const char* text = nullptr;
  EXPECT_EQ(0, r->getLongLong("big", ll));
  EXPECT_EQ(big, ll);
  EXPECT_NE(0, r->getInt("big", i)) << "out of int range";
  EXPECT_NE(0, r->getString("nothing", &text)) << "NULL";
  EXPECT_NE(0, r->getInt("word", i)) << "not a number";
  EXPECT_NE(0, r->getString("absent", &text)) << "unknown column";
  EXPECT_EQ(0, r->getInt("SEVEN", i)) << "names ignore case";
  EXPECT_EQ(7, i);
  EXPECT_NE(0, r->next());
  conn_.releaseStatement(st);

  // The second command fails: the whole run fails, with the server's words.
  ASSERT_EQ(0, conn_.prepareStatement("delete from t_sender_filter_blocked where ip=?;insert into no_table values(?)",
                                      &st));
  long one = 1;
  st->setParameter(1, (unsigned char*)ip.data(), static_cast<int>(ip.size()), false);
  st->setParameter(2, one);
  EXPECT_NE(0, st->excuteQuery(&r));
  EXPECT_EQ(1u, logged(1, "relation \"no_table\" does not exist"));
  conn_.releaseStatement(st);
  EXPECT_EQ("10.0.0.9", rows("select ip from t_sender_filter_blocked")) << "the delete went with it";
}

TEST_F(QxDBWrapperTest, DualSourceAndAutomaticBlocks) {
  KELP::QxDBConnPoolWrapper pool(KELP::QxDBAbstractConnection::DBMS_POSTGRESQL, 100);
  KELP::DualSource source(pool, "config/ha/keelgate", home_.path());
  auto ask = [&source]() {
    KELP::DataStmtParams params;
    KELP::DualQuery* q = source.prepare("tls_log_level", "select value from tb_global_setting where "
                                                         "section='general' and name='log_level'");
    KELP::DualResult* r = q->execute(params);
    std::string value = "<none>";
    const char* text = nullptr;
    if (r != nullptr && r->next() && r->getString("value", &text)) value = text;
    q->release();
    return value;
  };
  ASSERT_TRUE(server().sql("insert into tb_global_setting values ('general', 'log_level', 'debug')"));
  EXPECT_EQ("debug", ask()) << "no key in the file: the database answers";
  home_.write("config/ha/keelgate", "tls_log_level = diagnostic\n");
  EXPECT_EQ("diagnostic", ask()) << "the file wins";
  home_.remove("config/ha/keelgate");
  EXPECT_EQ(0, pool.openConnections());

  const time_t now = 1796340000;
  KELP::Clock::freezeAt(now);
  ASSERT_TRUE(server().sql("insert into t_sender_filter_blocked values (true, '203.0.113.5', '', 1, 0, 1796340060);"
                           "insert into t_sender_filter_blocked values (true, '', 'Spam@X.example', 2, 0, 1796340060);"
                           "insert into t_sender_filter_blocked values (true, '203.0.113.6', '', 3, 0, 1796340000);"
                           "insert into t_sender_filter_blocked values (false, '203.0.113.7', '', 1, 0, 1796340060);"));
  SmtpConnConfig config(home_.path());
  ASSERT_TRUE(config.init());
  const struct { const char* label; std::string ip; int kind; int want; } ipCases[] = {
      {"automatic block, kind 3", "203.0.113.5", 3, 3},
      {"kind 1 ignores automatic blocks", "203.0.113.5", 1, 6},
      {"expired this very second", "203.0.113.6", 3, 4},
      {"disabled row", "203.0.113.7", 3, 6},
  };
  for (auto c : ipCases) EXPECT_EQ(c.want, config.getIPInfo(c.ip, c.kind)) << c.label;
  std::string sender = "spam@x.example";
  EXPECT_EQ(7, config.getSenderInfo(sender));

  // Down: the reload keeps the blocks it had, and nothing else fails hard.
  ASSERT_TRUE(server().stop());
  log_->clear();
  std::string ip = "203.0.113.5";
  ASSERT_TRUE(config.init());
  EXPECT_EQ(3, config.getIPInfo(ip, 3));
  EXPECT_EQ(1u, logged(1, "automatic blocks: cannot read them from the database, keeping the 3 of the last load"));
  EXPECT_EQ("<none>", ask());
  EXPECT_FALSE(QxDBConnection::isDBAlive(home_.path()));
  EXPECT_EQ(-1, connect());
  EXPECT_EQ(0, pool.openConnections());
  ASSERT_TRUE(server().start());
}

}  // namespace
}  // namespace dbtest
