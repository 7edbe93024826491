#include "host/tls/ip_prefix_table.h"

#include <gtest/gtest.h>

namespace KELP {
namespace {

TEST(IpPrefixTable, ReadsPrefixesAndRefusesTheRest) {
  struct Case {
    const char* text;
    bool ok;
    bool v6;
    int length;
  } cases[] = {
      {"192.0.2.7", true, false, 32},
      {"192.0.2.0/24", true, false, 24},
      {"0.0.0.0/0", true, false, 0},
      {"2001:db8::/32", true, true, 32},
      {"::/0", true, true, 0},
      {"::ffff:192.0.2.0/120", true, false, 24},
      {"::ffff:192.0.2.7", true, false, 32},
      {"::ffff:0:0/80", false, false, 0},
      {"192.0.2.0/33", false, false, 0},
      {"2001:db8::/129", false, false, 0},
      {"192.0.2.0/", false, false, 0},
      {"192.0.2.0/+8", false, false, 0},
      {"192.0.2.0/24/8", false, false, 0},
      {"192.0.2", false, false, 0},
      {"192.0.2.07", false, false, 0},
      {"", false, false, 0},
  };
  for (const Case& c : cases) {
    IpPrefix p;
    ASSERT_EQ(c.ok, parseIpPrefix(c.text, p)) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(c.v6, p.v6) << c.text;
    EXPECT_EQ(c.length, p.length) << c.text;
  }
}

TEST(IpPrefixTable, ZeroLengthCoversOnlyItsFamily) {
  IpPrefixTable t;
  IpPrefix p, a;
  ASSERT_TRUE(parseIpPrefix("0.0.0.0/0", p));
  t.insert(p, 1);
  size_t v = 0;
  ASSERT_TRUE(parseIpAddress("203.0.113.1", a));
  EXPECT_TRUE(t.find(a, v));
  ASSERT_TRUE(parseIpAddress("::1", a));
  EXPECT_FALSE(t.find(a, v));
}

}  // namespace
}  // namespace KELP
