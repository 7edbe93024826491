#include "host/config/config_file_on_disk.h"

#include <gtest/gtest.h>

namespace KELP {
namespace {

TEST(ConfigFileOnDisk, ParsesSectionsKeysCommentsAndQuotes) {
  ConfigFileOnDisk f(nullptr);
  f.parse(
      "top = 1\n"
      "# comment\n"
      "; comment\n"
      "[kelp_manager]          ; trailing comment\n"
      "  scanner_id   =   7   \n"
      "role = child ; parent | child\n"
      "quoted = \"  a ; b  \"\n"
      "action = action=421 4.7.0 Too much traffic;no blank before\n"
      "empty =\n"
      "junk line without equals\n"
      "= no key\n"
      "[other]\r\n"
      "scanner_id = 9\r\n"
      "scanner_id = 10\n");
  std::string v;
  EXPECT_TRUE(f.getparam("", "top", v));
  EXPECT_EQ("1", v);
  EXPECT_TRUE(f.getparam("kelp_manager", "scanner_id", v));
  EXPECT_EQ("7", v);
  EXPECT_TRUE(f.getparam("kelp_manager", "role", v));
  EXPECT_EQ("child", v);
  EXPECT_TRUE(f.getparam("kelp_manager", "quoted", v));
  EXPECT_EQ("  a ; b  ", v);
  EXPECT_TRUE(f.getparam("kelp_manager", "action", v));
  EXPECT_EQ("action=421 4.7.0 Too much traffic;no blank before", v);
  EXPECT_TRUE(f.getparam("kelp_manager", "empty", v));
  EXPECT_EQ("", v);
  EXPECT_TRUE(f.getparam("other", "scanner_id", v));
  EXPECT_EQ("10", v) << "a repeated key keeps its last value";
  EXPECT_FALSE(f.getparam("Other", "scanner_id", v)) << "sections are case-sensitive";
  EXPECT_FALSE(f.getparam("other", "Scanner_id", v)) << "keys are case-sensitive";
  ASSERT_EQ(2u, f.problems().size());
  EXPECT_EQ(10, f.problems()[0].line);
  EXPECT_EQ(11, f.problems()[1].line);
}

TEST(ConfigFileOnDisk, MissingFileIsNotLoaded) {
  ConfigFileOnDisk f("/nonexistent/kelp.ini");
  EXPECT_FALSE(f.loaded);
  std::string v;
  EXPECT_FALSE(f.getparam("kelp_manager", "scanner_id", v));
}

TEST(ConfigFileOnDisk, BooleanWords) {
  struct Case { const char* word; bool ok; bool value; } cases[] = {
      {"yes", true, true}, {"TRUE", true, true}, {"On", true, true}, {"1", true, true},
      {"no", true, false}, {"False", true, false}, {"OFF", true, false}, {"0", true, false},
      {"", false, false}, {"2", false, false}, {"yess", false, false},
  };
  for (const Case& c : cases) {
    bool v = !c.value;
    EXPECT_EQ(c.ok, parseBoolWord(c.word, v)) << c.word;
    if (c.ok) {
      EXPECT_EQ(c.value, v) << c.word;
    }
  }
}

}  // namespace
}  // namespace KELP
