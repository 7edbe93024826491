#include "throttling/smtp_conn_traffic_list.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>

#include "host/base/clock.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::CaptureSink;
using keelgate_test::LogLine;

class SmtpConnTrafficListTest : public ::testing::Test {
 protected:
  void SetUp() override { log = &keelgate_test::captureLog(); }
  void TearDown() override {
    KELP::Clock::thaw();
    KELP::Log::Init(nullptr, KELP::LOG_NORMAL);
  }
  void record(int type, const char* ip, const char* sender, time_t at) {
    KELP::Clock::freezeAt(at);
    RawConnTrafficItem item;
    list.createTrafficLog(ip, sender, type, 1, item);
    list.recordTrafficConn(item);
  }
  CaptureSink* log;
  SmtpConnTrafficList list;
};

struct Obs { int type; const char* ip; const char* sender; };

TEST_F(SmtpConnTrafficListTest, FoldsObservationsPerKey) {
  struct Case {
    const char* name;
    int type;
    std::vector<Obs> observations;     // recorded at times 100, 101, ...
    std::vector<std::string> entries;  // "ip/sender/time/count" in map order
  } cases[] = {
      {"same IP twice", 1, {{1, "10.0.0.5", ""}, {1, "10.0.0.5", ""}}, {"10.0.0.5//100/2"}},
      {"same sender, different IPs", 2, {{2, "10.0.0.5", "a@x"}, {2, "10.0.0.6", "a@x"}}, {"10.0.0.5/a@x/100/2"}},
      {"one IP, different senders", 2, {{2, "10.0.0.5", "b@x"}, {2, "10.0.0.5", "a@x"}},
       {"10.0.0.5/a@x/101/1", "10.0.0.5/b@x/100/1"}},
      {"empty senders fold", 3, {{3, "1.1.1.1", ""}, {3, "2.2.2.2", ""}, {3, "3.3.3.3", ""}}, {"1.1.1.1//100/3"}},
      {"types kept apart", 1, {{2, "10.0.0.5", "a@x"}, {1, "10.0.0.5", ""}}, {"10.0.0.5//101/1"}},
  };
  for (const Case& c : cases) {
    SmtpConnTrafficList fresh;
    time_t at = 100;
    for (const Obs& o : c.observations) {
      KELP::Clock::freezeAt(at++);
      RawConnTrafficItem item;
      fresh.createTrafficLog(o.ip, o.sender, o.type, 1, item);
      fresh.recordTrafficConn(item);
    }
    std::vector<std::string> got;
    for (const auto& e : fresh.rawTraffic(c.type))
      got.push_back(e.first.ip + "/" + e.first.sender + "/" + std::to_string(e.first.timeStamp) + "/" +
                    std::to_string(e.second));
    EXPECT_EQ(c.entries, got) << c.name;
  }
}

TEST_F(SmtpConnTrafficListTest, UnknownTypesAreDroppedWithMessage) {
  for (int type : {0, 4}) record(type, "10.0.0.5", "a@x", 100);
  EXPECT_TRUE(list.rawIPBaseConnEmpty() && list.rawIPBaseMsgEmpty() && list.rawSenderBaseEmpty());
  LogLine drop = {4, "get error type SMTP Traffic Throttling log, drop it"};
  std::vector<LogLine> lines = log->lines();
  EXPECT_EQ(2, std::count(lines.begin(), lines.end(), drop));
}

TEST_F(SmtpConnTrafficListTest, ObservationTraceUsesLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  record(1, "10.0.0.5", "", 1300000000);
  EXPECT_TRUE(log->has(KELP::LOG_DEBUG,
                       "received traffic log of SMTP Traffic Throttling:[Mar 13 2011 "
                       "07:06:40,10.0.0.5,,1,1]"));
}

TEST_F(SmtpConnTrafficListTest, DeadlinesAtTheExactSecond) {
  // ipDue, senderDue: the first second at which each is due.
  struct Case { const char* name; int ipInterval, senderInterval; time_t resetAt, ipDue, senderDue; } cases[] = {
      {"intervals as given", 6, 180, 1000, 1006, 1180},
      {"zero means 300", 0, 0, 1000, 1300, 1300},
      {"saturates at 32-bit end", 300, 10, INT_MAX - 100, INT_MAX, INT_MAX - 90},
  };
  for (const Case& c : cases) {
    list.init(c.ipInterval, c.senderInterval, "", "", 0, "", "debug");
    KELP::Clock::freezeAt(c.resetAt);
    list.ipBaseResetTimeout();
    list.senderBaseResetTimeout();
    KELP::Clock::freezeAt(c.ipDue - 1);
    EXPECT_FALSE(list.ipBaseHasTimeout()) << c.name;
    KELP::Clock::freezeAt(c.ipDue);
    EXPECT_TRUE(list.ipBaseHasTimeout()) << c.name;
    KELP::Clock::freezeAt(c.senderDue - 1);
    EXPECT_FALSE(list.senderBaseHasTimeout()) << c.name;
    KELP::Clock::freezeAt(c.senderDue);
    EXPECT_TRUE(list.senderBaseHasTimeout()) << c.name;
  }
}

TEST_F(SmtpConnTrafficListTest, InitReadsOdbcIniAndKeepsCounts) {
  keelgate_test::TempDir dir;
  list.setHome(dir.path());
  struct Case { const char* name; const char* ini; const char* dump; const char* database; } cases[] = {
      {"no file: defaults", nullptr, "dbname[KELP],username[sa],password[]", "kelp"},
      {"all keys", "[KELP]\nUserName=u\nPassword=p w\nDatabase=d\n",
       "dbname[KELP],username[u],password[p w]", "d"},
      {"one key", "[KELP]\nPassword=x\n", "dbname[KELP],username[sa],password[x]", "kelp"},
      {"other section", "[kelp]\nUserName=u\n", "dbname[KELP],username[sa],password[]", "kelp"},
  };
  record(1, "10.0.0.5", "", 100);
  for (const Case& c : cases) {
    dir.remove("config/odbc.ini");
    if (c.ini != nullptr) {
      ASSERT_TRUE(dir.write("config/odbc.ini", c.ini));
    }
    log = &keelgate_test::captureLog();
    EXPECT_EQ(0, list.init(10, 6, "p", "x", 1, "l", "DIAGNOSTIC")) << c.name;
    std::vector<LogLine> want = {
        {4, "Dump SMTP Traffic Throttling Traffic configuration: IP base send interval[10], "
            "Sender base send interval[6]"},
        {3, std::string("dump db configuration:") + c.dump},
        {1, "--- SMTP Traffic Throttling Traffic Log list --- "}};
    EXPECT_EQ(want, log->lines()) << c.name;
    EXPECT_EQ(c.database, list.dbSettings().databaseName) << c.name;
    EXPECT_EQ(KELP::LOG_DIAGNOSTIC, KELP::Log::threshold()) << c.name;
  }
  EXPECT_EQ(1, list.rawTraffic(1).begin()->second) << "a reload keeps the counts";
}

}  // namespace
