#include "throttling/conn_traffic_item.h"

#include <gtest/gtest.h>

#include "throttling/traffic_line.h"

namespace {

RawConnTrafficItem raw(int type, const std::string& ip, const std::string& sender, int ts = 0) {
  RawConnTrafficItem item;
  item.type = type;
  item.ip = ip;
  item.sender = sender;
  item.timeStamp = ts;
  item.scannerId = 1;
  return item;
}

TEST(ConnTrafficItemOrder, DecidedByRightHandType) {
  struct Case {
    const char* name;
    RawConnTrafficItem a, b;
    bool less;
  } cases[] = {
      {"rhs type 1 compares ip", raw(2, "10.0.0.1", "z@x"), raw(1, "10.0.0.2", "a@x"), true},
      {"rhs type 2 compares sender", raw(1, "10.0.0.1", "z@x"), raw(2, "10.0.0.2", "a@x"), false},
      {"rhs type 3 compares sender", raw(3, "9", "a@x"), raw(3, "1", "b@x"), true},
      {"rhs type 0 compares sender", raw(0, "1", "a"), raw(0, "2", "a"), false},
      {"time takes no part", raw(1, "1", "", 5), raw(1, "1", "", 9), false},
      {"bytes unsigned", raw(1, "a", ""), raw(1, "\xe9", ""), true},
      {"stops at first NUL", raw(1, std::string("a\0z", 3), ""), raw(1, "a", ""), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.less, c.a < c.b) << c.name;
}

TEST(ConnTrafficItemOrder, TimeStampFirstThenKey) {
  auto row = [](int ts, int type, const char* ip, const char* sender) {
    ConnTrafficItem r;
    r.timeStamp = ts, r.type = type, r.ip = ip, r.sender = sender;
    return r;
  };
  struct Case {
    const char* name;
    ConnTrafficItem a, b;
    bool less;
  } cases[] = {
      {"earlier wins over key", row(1, 1, "9", ""), row(2, 1, "1", ""), true},
      {"negative time is earlier", row(-1, 1, "1", ""), row(0, 1, "1", ""), true},
      {"same time, rhs type 1 by ip", row(3, 2, "1", "z"), row(3, 1, "2", "a"), true},
      {"same time, rhs type 3 by sender", row(3, 1, "1", "z"), row(3, 3, "2", "a"), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.less, c.a < c.b) << c.name;
}

TEST(TrafficLine, FormatsByType) {
  struct Case {
    const char* name;
    RawConnTrafficItem item;
    int count;
    const char* line;
  } cases[] = {
      {"ip connection", raw(1, "10.0.0.5", "ignored", 1300000000), 1,
       "ORCAS-Conn-IP:1300000000;1;1;1;10.0.0.5\n"},
      {"sender", raw(3, "10.0.0.5", "", -2), 2, "ORCAS-Conn-Sender:-2;1;3;2;10.0.0.5;\n"},
      {"other type keyed as sender", raw(4, "1", "s", 0), 1, "ORCAS-Conn-Sender:0;1;4;1;1;s\n"},
      {"no escaping", raw(2, "1", "a;b\nc", 0), 1, "ORCAS-Conn-MSG:0;1;2;1;1;a;b\nc\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.line, trafficLine(c.item, c.count)) << c.name;
}

TEST(TrafficLine, CutAt1023Characters) {
  // "ORCAS-Conn-Sender:0;1;3;1;1;" is 28 characters; the newline is one more.
  struct Case {
    const char* name;
    size_t senderLen;
    bool keepsNewline;
  } cases[] = {
      {"exactly 1023 keeps newline", 1023 - 29, true},
      {"1024 loses newline", 1024 - 29, false},
      {"far longer", 5000, false},
  };
  for (const Case& c : cases) {
    std::string line = trafficLine(raw(3, "1", std::string(c.senderLen, 'x'), 0), 1);
    EXPECT_EQ(std::min<size_t>(1023, 29 + c.senderLen), line.size()) << c.name;
    EXPECT_EQ(c.keepsNewline, line.back() == '\n') << c.name;
  }
}

}  // namespace
