// The database wrapper's login, DualSource's database side and the automatic
// blocks of SmtpConnConfig against a real server.
#include "host/config/dual_source.h"
#include "host/lists/smtp_conn_config.h"
#include "tests/db/db_fixture.h"

namespace dbtest {
namespace {

using KELP::QxDBConnection;

class QxDBWrapperTest : public DbTest {
 protected:
  int connect(const std::string& user = "", const std::string& password = "") {
    return conn_.connect("KELP", user, password, "", 5, 1, 10, 0);
  }
  QxDBConnection conn_{QxDBConnection::ODBC_VERSION_3, home_.path()};
};

TEST_F(QxDBWrapperTest, LoginFromOdbcIni) {
  const struct { const char* label; std::string odbcIni, user, password; const char* log; } cases[] = {
      {"driver by name", server().odbcIni(), "", "", nullptr},
      {"caller's login wins", server().odbcIni("wrong"), "kelp", "secret", nullptr},
      {"wrong password", server().odbcIni("wrong"), "", "", "password authentication failed for user \"kelp\""},
      {"unknown driver", "[KELP]\nDriver = NoSuchDriver\nServername = /tmp\n", "", "", "[NoSuchDriver]"},
      {"malformed Port", "[KELP]\nDriver = PostgreSQL Unicode\nPort = fast\n", "", "",
       "bad value [fast] for key [Port]"},
      {"not an ini file", "Driver = PostgreSQL Unicode\n[KELP\n", "", "", "no database configured"},
  };
  for (const auto& c : cases) {
    log_->clear();
    home_.write("config/odbc.ini", c.odbcIni);
    EXPECT_EQ(c.log == nullptr ? 0 : -1, connect(c.user, c.password)) << c.label;
    EXPECT_EQ(c.log == nullptr ? QxDBConnection::STATE_CONNECTED : QxDBConnection::STATE_NOT_CONNECTED,
              conn_.getState())
        << c.label;
    if (c.log != nullptr) {
      EXPECT_EQ(1u, log_->count(1, c.log)) << c.label << "\n" << log_->all();
    }
    conn_.disconnect();
  }
  // A password with the characters of the connection string's syntax.
  ASSERT_TRUE(server().sql("alter role kelp password 'se;c{r}=t'"));
  home_.write("config/odbc.ini", server().odbcIni("se;c{r}=t"));
  EXPECT_EQ(0, connect());
  ASSERT_TRUE(server().sql("alter role kelp password 'secret'"));
}

TEST_F(QxDBWrapperTest, DualSourceAndAutomaticBlocks) {
  KELP::QxDBConnPoolWrapper pool(KELP::QxDBAbstractConnection::DBMS_POSTGRESQL, 100);
  KELP::DualSource source(pool, "config/ha/keelgate", home_.path());
  auto ask = [&source]() {
    KELP::DataStmtParams params;
    KELP::DualQuery* q = source.prepare(
        "tls_log_level", "select value from tb_global_setting where section='general' and name='log_level'");
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

  KELP::Clock::freezeAt(1796340000);
  ASSERT_TRUE(server().sql("insert into t_sender_filter_blocked values (true, '203.0.113.5', '', 1, 0, 1796340060);"
                           "insert into t_sender_filter_blocked values (true, '', 'Spam@X.example', 2, 0, 1796340060);"
                           "insert into t_sender_filter_blocked values (false, '203.0.113.7', '', 1, 0, 1796340060);"));
  SmtpConnConfig config(home_.path());
  ASSERT_TRUE(config.init());
  const struct { const char* label; std::string key; int kind, want; } cases[] = {
      {"automatic block, kind 3", "203.0.113.5", 3, 3},
      {"disabled row", "203.0.113.7", 3, 6},
      {"sender, case ignored", "spam@x.example", 0, 7},
  };
  for (auto c : cases)
    EXPECT_EQ(c.want, c.kind ? config.getIPInfo(c.key, c.kind) : config.getSenderInfo(c.key)) << c.label;
  EXPECT_TRUE(QxDBConnection::isDBAlive(home_.path()));

  // Down: the reload keeps the blocks it had, and nothing else fails hard.
  ASSERT_TRUE(server().stop());
  std::string ip = "203.0.113.5";
  ASSERT_TRUE(config.init());
  EXPECT_EQ(3, config.getIPInfo(ip, 3));
  EXPECT_EQ(1u, log_->count(1, "automatic blocks: cannot read them from the database, keeping the 2 of the last load"));
  EXPECT_EQ("<none>", ask());
  EXPECT_FALSE(QxDBConnection::isDBAlive(home_.path()));
  EXPECT_EQ(-1, connect());
  EXPECT_EQ(0, pool.openConnections());
  ASSERT_TRUE(server().start());
}

}  // namespace
}  // namespace dbtest
