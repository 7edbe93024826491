// Texts that reach the database: the connection string built from odbc.ini,
// the quoting of event descriptions, and the event texts of resource.ini.
#include <gtest/gtest.h>

#include "host/db/odbc_data_source.h"
#include "host/config/qx_resbundle.h"
#include "tests/unit/capture_log.h"
#include "throttling/smtp_conn_traffic_list.h"

namespace {

using keelgate_test::TempDir;

TEST(OdbcConnectionString, QuotesOnlyWhatTheSyntaxNeeds) {
  KELP::OdbcDataSource s;
  s.driver = "PostgreSQL Unicode", s.servername = "/run/pg", s.port = 5433, s.database = "kelp";
  s.userName = "kelp";
  const struct { const char* label; std::string password; std::string pwd; } cases[] = {
      {"plain", "secret", "PWD=secret;"},
      {"empty", "", "PWD=;"},
      {"semicolon", "a;b", "PWD={a;b};"},
      {"closing brace doubled", "a}b", "PWD={a}}b};"},
      {"equals sign", "a=b", "PWD={a=b};"},
      {"edge blank", " a", "PWD={ a};"},
  };
  for (const auto& c : cases) {
    s.password = c.password;
    std::string text = KELP::odbcConnectionString(s);
    EXPECT_EQ(0u, text.find("DRIVER=PostgreSQL Unicode;SERVER=/run/pg;PORT=5433;DATABASE=kelp;UID=kelp;"))
        << c.label << ": " << text;
    EXPECT_NE(std::string::npos, text.find(";" + c.pwd)) << c.label << ": " << text;
  }
}

TEST(EscapeData, DoublesQuotesIntoTheBuffer) {
  const struct { const char* label; const char* in; const char* out; bool ownText; } cases[] = {
      {"no quote: the text itself", "abc", "abc", true},
      {"empty", "", "", true},
      {"one quote", "o'brien", "o''brien", false},
      {"quotes at both ends and doubled", "'x''", "''x''''", false},
  };
  for (const auto& c : cases) {
    std::string buffer = "old";
    const char* out = nullptr;
    SmtpConnTrafficList::escapeData(c.in, buffer, out);
    EXPECT_STREQ(c.out, out) << c.label;
    EXPECT_EQ(c.ownText, out == c.in) << c.label;
  }
  std::string buffer;
  const char* out = "x";
  SmtpConnTrafficList::escapeData(nullptr, buffer, out);
  EXPECT_EQ(nullptr, out);
}

TEST(QxResbundle, TextsOfTheSectionOnly) {
  TempDir home;
  home.write("config/resource.ini",
             "[Other]\nInsertBlockedItem = wrong\n[SmtpTrafficThrottling]\nInsertBlockedItem = \" Blocked: \"\n");
  KELP::QxResbundle bundle(home.path());
  EXPECT_EQ((home / "config/resource.ini"), bundle.GetResourceFileName());
  ASSERT_EQ(0, bundle._init(bundle.GetResourceFileName(), "SmtpTrafficThrottling", nullptr));
  std::string text = "stale";
  EXPECT_EQ(0, bundle.getString("InsertBlockedItem", text));
  EXPECT_EQ(" Blocked: ", text);
  EXPECT_NE(0, bundle.getString("DeleteBlockedItem", text));
  EXPECT_EQ("", text) << "absent key: empty, the caller's own text then";
  home.remove("config/resource.ini");
  EXPECT_NE(0, bundle._init(bundle.GetResourceFileName(), "SmtpTrafficThrottling", nullptr));
  EXPECT_NE(0, bundle.getString("InsertBlockedItem", text));
  EXPECT_EQ("", text);
}

}  // namespace
