// The store of SmtpConnTrafficList against a real server: traffic rows (dump,
// load, delete of one key) and blocked items with their events and expiry.
#include <vector>

#include "tests/db/db_fixture.h"

namespace dbtest {
namespace {

const int32_t kDec3 = 1796340420;  // Dec 03 2026 23:27:00 UTC

std::string describe(const SmtpConnTrafficList::TrafficMap& map) {
  std::string text;
  for (const auto& e : map)
    text += std::to_string(e.first.timeStamp) + "|" + e.first.ip + "|" + e.first.sender + "|" +
            std::to_string(e.first.scannerId) + "|" + std::to_string(e.first.count) + "=" + std::to_string(e.second) +
            "\n";
  return text;
}

// Stores traffic rows as another writer would, all at Dec 03 2026 23:27:00 UTC.
struct Row { const char *ip, *sender; int type, scanner, count; };
void insertTraffic(const std::vector<Row>& rows) {
  std::string sql;
  for (const Row& r : rows)
    sql += std::string("insert into t_sender_filter_conn_traffic values ('") + r.ip + "','" + r.sender +
           "','Dec 03 2026 23:27:00 UTC'," + std::to_string(r.type) + "," + std::to_string(r.scanner) + "," +
           std::to_string(r.count) + ");";
  ASSERT_TRUE(server().sql(sql));
}

class StoreTest : public DbTest {};

TEST_F(StoreTest, TrafficDumpThenLoadRestoresEveryEntryAndReplacesOnlyItsType) {
  const struct { int32_t time; const char *ip, *sender; int type, count, scanner; } filled[] = {
      {kDec3, "192.0.2.1", "", 1, 5, 7},
      {kDec3 + 60, "192.0.2.2", "", 1, 2, 8},
      {kDec3, "192.0.2.3", "a@example.org", 2, 3, 7},
      {kDec3, "192.0.2.4", "o'neil@example.org", 3, 11, 7},
      {0, "192.0.2.5", "z@example.org", 3, 1, 9},
  };
  for (const auto& f : filled) {
    ConnTrafficItem i;
    i.timeStamp = f.time, i.ip = f.ip, i.sender = f.sender, i.type = f.type, i.count = f.count, i.scannerId = f.scanner;
    (*list_.aggregatedTraffic(f.type))[i] = f.count;
  }
  std::string before[4];
  for (int type = 1; type <= 3; ++type) {
    before[type] = describe(*list_.aggregatedTraffic(type));
    ASSERT_TRUE(list_.dumpMemoryTrafficLogToDB(true, type)) << type;
    list_.aggregatedTraffic(type)->clear();
  }
  EXPECT_EQ("2026 12 03 23 27 00", rows("select to_char(time_stamp at time zone 'UTC', 'YYYY MM DD HH24 MI SS') "
                                        "from t_sender_filter_conn_traffic where ip='192.0.2.1'"));
  for (int type = 1; type <= 3; ++type) {
    ASSERT_TRUE(list_.getTrafficLogFromDB(true, type, {})) << type;
    EXPECT_EQ(before[type], describe(*list_.aggregatedTraffic(type))) << "type " << type;
  }
  ASSERT_TRUE(server().sql("insert into t_sender_filter_conn_traffic select ip, sender, time_stamp, 4, scanner_id, "
                           "count from t_sender_filter_conn_traffic where type = 1"));
  list_.aggregatedTraffic(1)->clear();
  EXPECT_TRUE(list_.dumpMemoryTrafficLogToDB(true, 1));
  EXPECT_EQ("2\n3\n3\n4\n4", rows("select type from t_sender_filter_conn_traffic order by type"))
      << "an empty type-1 map leaves no type-1 row and every other row";
  EXPECT_EQ(0, list_.dbConnectionUsers());
}

TEST_F(StoreTest, TrafficLoadTakesThisScannerAndLeavesTheExcludedOut) {
  insertTraffic({{"192.0.2.1", "", 1, 7, 4},
                 {"192.0.2.1", "", 1, 7, 9},  // same time and IP, later row
                 {"192.0.2.9", "", 1, 7, 2},  // excluded IP
                 {"192.0.2.8", "", 1, 8, 3},  // another scanner
                 {"192.0.2.9", "keep@x", 3, 7, 5},
                 {"192.0.2.7", "drop@x", 3, 7, 6}});
  const std::vector<std::string> excluded = {"192.0.2.9", "drop@x"};
  ASSERT_TRUE(list_.getTrafficLogFromDB(false, 1, excluded));
  EXPECT_EQ("1796340420|192.0.2.1||7|4=9\n", describe(*list_.aggregatedTraffic(1)))
      << "one entry, count of the later row; scanner 8 and the excluded IP left out";
  ASSERT_TRUE(list_.getTrafficLogFromDB(false, 3, excluded));
  EXPECT_EQ("1796340420|192.0.2.9|keep@x|7|5=5\n", describe(*list_.aggregatedTraffic(3)))
      << "type 3 excludes by sender only";
}

TEST_F(StoreTest, DeletingOneKeyQuotesIt) {
  insertTraffic({{"192.0.2.1", "", 1, 7, 1},
                 {"192.0.2.2", "", 2, 7, 1},
                 {"192.0.2.3", "o''neil@x", 3, 7, 1},
                 {"192.0.2.4", "other@x", 3, 7, 1}});
  const struct { const char* label; int type; std::string key; const char* left; } cases[] = {
      {"a quote that would end the text", 1, "x' or '1'='1", "192.0.2.1\n192.0.2.2\n192.0.2.3\n192.0.2.4"},
      {"type 2 deletes by ip", 2, "192.0.2.2", "192.0.2.1\n192.0.2.3\n192.0.2.4"},
      {"type 3 deletes by sender, quote kept", 3, "o'neil@x", "192.0.2.1\n192.0.2.4"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(list_.releaseDropTrafficList(c.type, c.key)) << c.label;
    EXPECT_EQ(c.left, rows("select ip from t_sender_filter_conn_traffic order by ip")) << c.label;
  }
}

TEST_F(StoreTest, BlockedItemIsStoredAnnouncedExpiredAndDeleted) {
  const long kStart = 1796340000;
  const std::string blocked = "select ip, sender, type, blocked_start_time, expiration from "
                              "t_sender_filter_blocked order by ip, sender";
  const std::string events = "select scanner_id, event_id, event_description, admin_name from tb_system_event "
                             "order by id";
  ASSERT_TRUE(list_.insertBlockedToDB("10.0.0.5", "s@x", 1, kStart, kStart + 60));
  ASSERT_TRUE(list_.insertBlockedToDB("10.0.0.5", "", 3, kStart + 5, kStart + 60));
  ASSERT_TRUE(list_.insertBlockedToDB("", "o'brien@x", 2, kStart, kStart + 61));
  EXPECT_FALSE(list_.insertBlockedToDB("10.0.0.6", "", 4, kStart, kStart + 60)) << "type 4 is not stored";
  EXPECT_EQ("|o'brien@x|2|1796340000|1796340061\n10.0.0.5||3|1796340005|1796340060", rows(blocked))
      << "a second block of an IP replaces the first whatever its type";
  EXPECT_EQ("7|30000|Blocked by throttling:10.0.0.5.|admin\n7|30000|Blocked by throttling:o'brien@x.|admin",
            rows(events))
      << "a replacement writes no event";

  KELP::Clock::freezeAt(kStart + 60);
  EXPECT_TRUE(list_.isAnyBlockExpire());
  EXPECT_EQ("7|30000|Block expired:10.0.0.5.|admin", rows(events + " desc limit 1")) << "at its exact second";
  EXPECT_TRUE(list_.releaseDropBlockList());
  EXPECT_EQ("|o'brien@x|2|1796340000|1796340061", rows(blocked)) << "exactly what was announced";
  EXPECT_FALSE(list_.isAnyBlockExpire());
  EXPECT_TRUE(list_.updateVersionNumber());
  EXPECT_TRUE(list_.updateVersionNumber());
  EXPECT_EQ(2, list_.getVersionNumber());
  EXPECT_EQ(0, list_.dbConnectionUsers());
}

}  // namespace
}  // namespace dbtest
