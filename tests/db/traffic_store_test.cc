// The traffic rows of the store against a real server: dump and load, the
// time text, exclusions, the delete of one key, and the shared connection.
#include <vector>

#include "tests/db/db_fixture.h"

namespace dbtest {
namespace {

const int32_t kDec3 = 1796340420;  // Dec 03 2026 23:27:00 UTC

ConnTrafficItem item(int32_t time, const std::string& ip, const std::string& sender, int type, int count,
                     int scanner) {
  ConnTrafficItem i;
  i.timeStamp = time, i.ip = ip, i.sender = sender, i.type = type, i.count = count, i.scannerId = scanner;
  return i;
}

std::string describe(const SmtpConnTrafficList::TrafficMap& map) {
  std::string text;
  for (const auto& e : map)
    text += std::to_string(e.first.timeStamp) + "|" + e.first.ip + "|" + e.first.sender + "|" +
            std::to_string(e.first.type) + "|" + std::to_string(e.first.scannerId) + "|" +
            std::to_string(e.first.count) + "=" + std::to_string(e.second) + "\n";
  return text;
}

struct Row {
  std::string ip, sender;
  int type, scanner, count;
};

// Stores rows as another writer would, all at Dec 03 2026 23:27:00 UTC.
void insertRows(const std::vector<Row>& rows) {
  std::string sql;
  for (const Row& r : rows)
    sql += "insert into t_sender_filter_conn_traffic values ('" + r.ip + "','" + r.sender +
           "','Dec 03 2026 23:27:00 UTC'," + std::to_string(r.type) + "," + std::to_string(r.scanner) + "," +
           std::to_string(r.count) + ");";
  ASSERT_TRUE(server().sql(sql));
}

class TrafficStoreTest : public DbTest {};

TEST_F(TrafficStoreTest, DumpThenLoadRestoresEveryEntryAndReplacesOnlyItsType) {
  const std::vector<ConnTrafficItem> filled = {
      item(kDec3, "192.0.2.1", "", 1, 5, 7),
      item(kDec3 + 60, "192.0.2.2", "", 1, 2, 8),
      item(kDec3, "192.0.2.3", "a@example.org", 2, 3, 7),
      item(kDec3, "192.0.2.4", "o'neil@example.org", 3, 11, 7),
      item(0, "192.0.2.5", "z@example.org", 3, 1, 9),
  };
  for (const auto& i : filled) (*list_.aggregatedTraffic(i.type))[i] = i.count;
  std::string before[4];
  for (int type = 1; type <= 3; ++type) {
    before[type] = describe(*list_.aggregatedTraffic(type));
    ASSERT_TRUE(list_.dumpMemoryTrafficLogToDB(true, type)) << type;
    list_.aggregatedTraffic(type)->clear();
  }
  EXPECT_EQ("Dec 03 2026 23:27:00 UTC|2026 12 03 23 27 00",
            rows("select to_char(time_stamp at time zone 'UTC', 'Mon DD YYYY HH24:MI:SS \"UTC\"'),"
                 " to_char(time_stamp AT TIME ZONE 'UTC' ,'YYYY MM DD HH24 MI SS')"
                 " from t_sender_filter_conn_traffic where ip='192.0.2.1'"));
  for (int type = 1; type <= 3; ++type) {
    ASSERT_TRUE(list_.getTrafficLogFromDB(true, type, {})) << type;
    EXPECT_EQ(before[type], describe(*list_.aggregatedTraffic(type))) << "type " << type;
  }
  EXPECT_EQ(1u, logged(4, "get traffic log from DB ip=192.0.2.1, sender=, type=1, count=5, scannerId=7, "
                          "sqltime=1796340420, timestamp="));
  EXPECT_EQ(0, list_.dbConnectionUsers());

  // A dump replaces the rows of its type only.
  ASSERT_TRUE(server().reset());
  log_->clear();
  for (int type = 1; type <= 3; ++type) list_.aggregatedTraffic(type)->clear();
  insertRows({
      {"192.0.2.1", "", 1, 7, 1},
      {"192.0.2.2", "b@x", 2, 7, 1},
      {"192.0.2.4", "", 4, 7, 1},
  });
  const struct { const char* label; bool withInsert; int type; std::string left; } cases[] = {
      {"delete only, type 2", false, 2, "1\n4"},
      {"type 4 has no map: delete, insert nothing", true, 4, "1"},
      {"empty type-1 map leaves no type-1 row", true, 1, ""},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(list_.dumpMemoryTrafficLogToDB(c.withInsert, c.type)) << c.label;
    EXPECT_EQ(c.left, rows("select type from t_sender_filter_conn_traffic order by type")) << c.label;
  }
  EXPECT_EQ(3u, logged(1, "Dump SMTP Traffic Throttling log from memory to DB"));
}

TEST_F(TrafficStoreTest, LoadingStoredRows) {
  insertRows({
      {"192.0.2.1", "", 1, 7, 4},
      {"192.0.2.1", "", 1, 7, 9},  // same time and IP, later row
      {"192.0.2.9", "", 1, 7, 2},  // excluded IP
      {"192.0.2.8", "", 1, 8, 3},  // another scanner
      {"192.0.2.9", "keep@x", 3, 7, 5},  // IP excluded, sender not
      {"192.0.2.7", "drop@x", 3, 7, 6},  // sender excluded
      {"192.0.2.6", "", 4, 7, 1},
  });
  const std::vector<std::string> excluded = {"192.0.2.9", "drop@x"};

  ASSERT_TRUE(list_.getTrafficLogFromDB(false, 1, excluded));
  EXPECT_EQ("1796340420|192.0.2.1||1|7|4=9\n", describe(*list_.aggregatedTraffic(1)))
      << "one entry, count of the later row; scanner 8 and the excluded IP left out";
  EXPECT_EQ(1u, logged(4, "SMTP Traffic Throttling type:1, drop this no need log for ip [192.0.2.9]"));

  ASSERT_TRUE(list_.getTrafficLogFromDB(true, 1, excluded));
  EXPECT_EQ(2u, list_.aggregatedTraffic(1)->size()) << "all scanners, joined to what the map held";

  ASSERT_TRUE(list_.getTrafficLogFromDB(true, 3, excluded));
  EXPECT_EQ("1796340420|192.0.2.9|keep@x|3|7|5=5\n", describe(*list_.aggregatedTraffic(3)));
  EXPECT_EQ(1u, logged(4, "SMTP Traffic Throttling type:3, drop this no need log for sender [drop@x]"));

  ASSERT_TRUE(list_.getTrafficLogFromDB(true, 4, {}));
  EXPECT_EQ(1u, logged(1, "incorrect SMTP Traffic Throttling type:4, drop this log"));

  home_.remove("config/kelp.ini");
  list_.aggregatedTraffic(1)->clear();
  ASSERT_TRUE(list_.getTrafficLogFromDB(false, 1, {}));
  EXPECT_TRUE(list_.aggregatedTraffic(1)->empty());
  EXPECT_EQ(1u, logged(3, "scanner_id=-1 to get IP Traffic log from DB"));
  EXPECT_EQ(1u, logged(1, "/config/kelp.ini doesn't exist. Exit now..."));
}

TEST_F(TrafficStoreTest, DeletingOneKeyQuotesIt) {
  insertRows({
      {"192.0.2.1", "", 1, 7, 1},
      {"192.0.2.2", "", 2, 7, 1},
      {"192.0.2.3", "o''neil@x", 3, 7, 1},
      {"192.0.2.4", "other@x", 3, 7, 1},
  });
  const struct { const char* label; int type; std::string key; std::string left; } cases[] = {
      {"a quote that would end the text", 1, "x' or '1'='1", "192.0.2.1\n192.0.2.2\n192.0.2.3\n192.0.2.4"},
      {"type 2 deletes by ip", 2, "192.0.2.2", "192.0.2.1\n192.0.2.3\n192.0.2.4"},
      {"type 3 deletes by sender, quote kept", 3, "o'neil@x", "192.0.2.1\n192.0.2.4"},
      {"type 1 only its own type", 1, "192.0.2.4", "192.0.2.1\n192.0.2.4"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(list_.releaseDropTrafficList(c.type, c.key)) << c.label;
    EXPECT_EQ(c.left, rows("select ip from t_sender_filter_conn_traffic order by ip")) << c.label;
  }
  EXPECT_EQ(1u, logged(3, "with type=3, key=[o'neil@x]"));
  EXPECT_TRUE(list_.releaseDropTrafficList(1, std::string(500, '\''))) << "a key of any length is bound";
}

TEST_F(TrafficStoreTest, SharedConnectionIsCounted) {
  EXPECT_EQ(nullptr, list_.dbConnection());
  list_.connectDB();
  list_.connectDB();
  KELP::QxDBConnection* conn = list_.dbConnection();
  EXPECT_EQ(1u, logged(3, "Database connect succeed! ")) << "the second call only counts";
  EXPECT_EQ(0, list_.getVersionNumber()) << "an operation in between shares the connection";
  list_.disconnectDB();
  EXPECT_EQ(1, list_.dbConnectionUsers());
  EXPECT_EQ(KELP::QxDBConnection::STATE_CONNECTED, conn->getState());
  list_.disconnectDB();
  EXPECT_EQ(KELP::QxDBConnection::STATE_NOT_CONNECTED, conn->getState());
  list_.disconnectDB();
  EXPECT_EQ(0, list_.dbConnectionUsers());
  EXPECT_EQ(0u, logged(1, "db connection referen count error"));
  EXPECT_EQ(conn, list_.dbConnection()) << "the object stays";
  list_.connectDB();
  EXPECT_EQ(2u, logged(3, "Database connect succeed! ")) << "connected again after the last disconnect";
  list_.disconnectDB();
}

}  // namespace
}  // namespace dbtest
