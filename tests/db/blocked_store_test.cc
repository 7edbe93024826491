// Blocked items, their events and expiry, and the version number, against a
// real server.
#include "tests/db/db_fixture.h"

namespace dbtest {
namespace {

const long kStart = 1796340000;

class BlockedStoreTest : public DbTest {
 protected:
  std::string blocked() const {
    return rows("select enabled, ip, sender, type, blocked_start_time, expiration from t_sender_filter_blocked "
                "order by ip, sender");
  }
  std::string events() const {
    return rows("select scanner_id, event_id, event_description, admin_name from tb_system_event order by id");
  }
  std::string lastEvent() const {
    return rows("select event_description from tb_system_event order by id desc limit 1");
  }
};

TEST_F(BlockedStoreTest, StoringAnItemAndStoringItAgain) {
  ASSERT_TRUE(list_.insertBlockedToDB("10.0.0.5", "s@x", 1, kStart, kStart + 60));
  EXPECT_EQ("t|10.0.0.5|s@x|1|1796340000|1796340060", blocked());
  EXPECT_EQ("7|30000|Blocked by throttling:10.0.0.5.|admin", events());

  ASSERT_TRUE(list_.insertBlockedToDB("10.0.0.5", "", 3, kStart + 5, kStart + 600));
  EXPECT_EQ("t|10.0.0.5||3|1796340005|1796340600", blocked()) << "replaced by IP whatever the type";
  EXPECT_EQ(1u, logged(1, "current blocked item [10.0.0.5] exists in DB,update it"));
  EXPECT_EQ("7|30000|Blocked by throttling:10.0.0.5.|admin", events()) << "an update writes no event";

  // A sender with a quote is stored as it is, in the event too.
  ASSERT_TRUE(list_.insertBlockedToDB("", "o'brien@x", 2, kStart, kStart + 60));
  EXPECT_EQ("t||o'brien@x|2|1796340000|1796340060\nt|10.0.0.5||3|1796340005|1796340600", blocked());
  EXPECT_EQ(1u, logged(3, "[Blocked by throttling:o'brien@x.])"));
  EXPECT_EQ("Blocked by throttling:o'brien@x.", lastEvent());

  EXPECT_FALSE(list_.insertBlockedToDB("10.0.0.6", "", 4, kStart, kStart + 60)) << "type 4 is not stored";
  EXPECT_EQ("2", rows("select count(*) from t_sender_filter_blocked"));
  EXPECT_EQ(0, list_.dbConnectionUsers());

  home_.remove("config/resource.ini");
  ASSERT_TRUE(list_.insertBlockedToDB("10.0.0.7", "", 1, kStart, kStart + 60));
  EXPECT_EQ("insert blocked list of SMTP Traffic Throttling to DB:10.0.0.7.", lastEvent()) << "built-in text";
}

TEST_F(BlockedStoreTest, EventDescriptionLimitAndScannerId) {
  const struct { const char* label; std::string kelpIni; size_t length; bool ok; std::string scanner; const char* log; } cases[] = {
      {"256 characters", "[kelp_manager]\nscanner_id = 7\n", 256, true, "7", nullptr},
      {"257 characters", "[kelp_manager]\nscanner_id = 7\n", 257, false, "",
       "Content string exceeds 256 chars, could not be wrote to admin DB."},
      {"no scanner_id", "[kelp_manager]\n", 10, true, "3", "get scanner_id from kelp.ini failed"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(server().reset());
    log_->clear();
    home_.write("config/kelp.ini", c.kelpIni);
    EXPECT_EQ(c.ok, list_.WriteSysEvtToDB(30000, std::string(c.length, 'x'), 1)) << c.label;
    EXPECT_EQ(c.scanner, rows("select scanner_id from tb_system_event")) << c.label;
    if (c.log != nullptr) {
      EXPECT_EQ(1u, logged(1, c.log)) << c.label;
    }
  }
  home_.remove("config/kelp.ini");
  EXPECT_FALSE(list_.WriteSysEvtToDB(30000, "x", 1));
  EXPECT_EQ(1u, logged(1, "init kelp.ini failed"));
  EXPECT_EQ("", rows("select 1 from tb_system_event where admin_name is null"));
}

TEST_F(BlockedStoreTest, ExpiryAnnouncesExactlyWhatItDeletesAndTheVersionNumber) {
  KELP::Clock::freezeAt(kStart);
  ASSERT_TRUE(server().sql(
      "insert into t_sender_filter_blocked values (true, '10.0.0.1', '', 1, 0, 1796339990);"
      "insert into t_sender_filter_blocked values (true, '', 'gone@x', 2, 0, 1796340000);"  // this very second
      "insert into t_sender_filter_blocked values (true, '10.0.0.3', '', 3, 0, 1796340001);"));
  EXPECT_TRUE(list_.isAnyBlockExpire());
  EXPECT_EQ("7|30000|Block expired:10.0.0.1.|admin\n7|30000|Block expired:gone@x.|admin", events());
  EXPECT_EQ("t||gone@x|2|0|1796340000\nt|10.0.0.1||1|0|1796339990\nt|10.0.0.3||3|0|1796340001", blocked())
      << "announcing deletes nothing";
  EXPECT_TRUE(list_.releaseDropBlockList());
  EXPECT_EQ("t|10.0.0.3||3|0|1796340001", blocked());
  EXPECT_FALSE(list_.isAnyBlockExpire()) << "nothing left to announce";
  EXPECT_EQ("2", rows("select count(*) from tb_system_event"));
  EXPECT_EQ(0, list_.dbConnectionUsers());

  EXPECT_EQ(0, list_.getVersionNumber());
  EXPECT_TRUE(list_.updateVersionNumber());
  EXPECT_TRUE(list_.updateVersionNumber());
  EXPECT_EQ(2, list_.getVersionNumber());
  ASSERT_TRUE(server().sql("delete from tb_tables_version"));
  EXPECT_EQ(0, list_.getVersionNumber()) << "row missing";
  EXPECT_TRUE(list_.updateVersionNumber()) << "an update of no row still ran";
}

}  // namespace
}  // namespace dbtest
