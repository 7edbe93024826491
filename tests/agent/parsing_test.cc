// What a peer sends, read back: traffic lines (good ones of each type, junk,
// missing and extra fields, bad numbers, and the daemon's own lines with
// hostile senders), the cutting of a byte stream into bounded lines, and the
// blocks file, whose values a peer chose too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/block_set.h"
#include "agent/line_assembler.h"
#include "agent/traffic_line_parser.h"
#include "throttling/traffic_line.h"

namespace {

// `why` is null for a good line, read as type, count, ip and sender.
struct ParseCase { const char* name; std::string line; const char* why; int type = 0; uint32_t count = 0;
                   const char *ip = "", *sender = ""; };

const ParseCase kParse[] = {
    {"connection line", "ORCAS-Conn-IP:1800000000;1;1;1;192.0.2.7", nullptr, 1, 1, "192.0.2.7", ""},
    {"message line", "ORCAS-Conn-MSG:1800000000;2;2;1;192.0.2.7;a@b.example", nullptr, 2, 1, "192.0.2.7", "a@b.example"},
    {"sender line with a child's count", "ORCAS-Conn-Sender:1800000000;2;3;4711;192.0.2.7;a@b.example", nullptr, 3,
     4711, "192.0.2.7", "a@b.example"},
    {"null sender", "ORCAS-Conn-Sender:1;1;3;1;192.0.2.7;", nullptr, 3, 1, "192.0.2.7", ""},
    {"the daemon's replaced bytes", "ORCAS-Conn-Sender:1;1;3;1;192.0.2.7;a?b@c", nullptr, 3, 1, "192.0.2.7", "a?b@c"},
    {"junk", "hello", "unknown line key"},
    {"empty line", "", "unknown line key"},
    {"key in another case", "orcas-conn-ip:1;1;1;1;192.0.2.7", "unknown line key"},
    {"connection line with a sender", "ORCAS-Conn-IP:1;1;1;1;192.0.2.7;a@b", "too many fields"},
    {"sender carrying a separator", "ORCAS-Conn-MSG:1;1;2;1;192.0.2.7;a;b", "too many fields"},
    {"message line without sender", "ORCAS-Conn-MSG:1;1;2;1;192.0.2.7", "too few fields"},
    {"missing fields", "ORCAS-Conn-IP:1;1;1", "too few fields"},
    {"non-numeric time", "ORCAS-Conn-IP:x;1;1;1;192.0.2.7", "bad time field"},
    {"empty scanner", "ORCAS-Conn-IP:1;;1;1;192.0.2.7", "bad scanner field"},
    {"type against its key", "ORCAS-Conn-IP:1;1;3;1;192.0.2.7", "type field does not match the line key"},
    {"count of 0", "ORCAS-Conn-IP:1;1;1;0;192.0.2.7", "bad count field"},
    {"negative count", "ORCAS-Conn-IP:1;1;1;-5;192.0.2.7", "bad count field"},
    {"count past 32 bits", "ORCAS-Conn-IP:1;1;1;4294967296;192.0.2.7", "bad count field"},
    {"count with a sign inside", "ORCAS-Conn-IP:1;1;1;1+1;192.0.2.7", "bad count field"},
    {"empty ip", "ORCAS-Conn-IP:1;1;1;1;", "bad ip field"},
    {"ip too long", "ORCAS-Conn-IP:1;1;1;1;" + std::string(65, '1'), "bad ip field"},
    {"sender too long", "ORCAS-Conn-Sender:1;1;3;1;192.0.2.7;" + std::string(1025, 'a'), "sender field too long"},
    {"control byte", "ORCAS-Conn-Sender:1;1;3;1;192.0.2.7;a\tb", "control byte in the line"},
    {"carriage return", "ORCAS-Conn-IP:1;1;1;1;192.0.2.7\r", "control byte in the line"},
};

TEST(ParsingTest, TrafficLines) {
  for (const ParseCase& c : kParse) {
    SCOPED_TRACE(c.name);
    agent::TrafficLine line;
    const char* why = agent::parseTrafficLine(c.line, line);
    if (c.why != nullptr) {
      ASSERT_NE(why, nullptr);
      EXPECT_STREQ(why, c.why);
      continue;
    }
    ASSERT_EQ(why, nullptr) << why;
    EXPECT_EQ(line.type, c.type);
    EXPECT_EQ(line.count, c.count);
    EXPECT_EQ(line.ip, c.ip);
    EXPECT_EQ(line.sender, c.sender);
  }
}

class Collect : public agent::LineAssembler::Sink {
 public:
  void line(std::string_view text) override { lines.emplace_back(text); }
  void tooLong() override { ++tooLongs; }
  std::vector<std::string> lines;
  int tooLongs = 0;
};

// The reads, the lines they make, the lines dropped as too long and the bytes held at the end.
struct StreamCase { const char* name; std::vector<std::string> reads, lines; int tooLongs; size_t held; };

const std::string k4096(4096, 'x');
const std::string kMegabyte(1 << 20, 'x');

const StreamCase kStreams[] = {
    {"lines in one read", {"a\nb\n"}, {"a", "b"}, 0, 0},
    {"a line split across reads", {"ab", "c\nd"}, {"abc"}, 0, 1},
    {"no line feed yet", {"abc"}, {}, 0, 3},
    {"empty lines are lines", {"\n\n"}, {"", ""}, 0, 0},
    {"a line of 4096 bytes is kept", {k4096.substr(0, 10), k4096.substr(10) + "\nz\n"}, {k4096, "z"}, 0, 0},
    {"a line of 4097 bytes is dropped up to its line feed", {k4096 + "y", "yy\nz\n"}, {"z"}, 1, 0},
    {"a megabyte without line feed is never held", {kMegabyte, kMegabyte}, {}, 1, 0},
    {"a megabyte line, then a good one", {kMegabyte, "\nok\n"}, {"ok"}, 1, 0},
};

TEST(ParsingTest, Streams) {
  for (const StreamCase& c : kStreams) {
    SCOPED_TRACE(c.name);
    agent::LineAssembler assembler;
    Collect sink;
    for (const std::string& r : c.reads) assembler.feed(r, sink);
    EXPECT_EQ(sink.lines, c.lines);
    EXPECT_EQ(sink.tooLongs, c.tooLongs);
    EXPECT_EQ(assembler.held(), c.held);
  }
}

// A file's text, its unreadable lines and the file text of what was read.
struct FileCase { const char* name; std::string text; size_t bad; std::string rewritten; };

const FileCase kFiles[] = {
    {"one block of each type", "1\t10.0.0.1\t\t200\n2\t\ta@b\t200\n3\t10.0.0.2\t\t200\n", 0,
     "1\t10.0.0.1\t\t200\n3\t10.0.0.2\t\t200\n2\t\ta@b\t200\n"},
    {"ended blocks are dropped", "1\t10.0.0.1\t\t100\n1\t10.0.0.2\t\t99\n", 0, ""},
    {"unreadable lines are skipped",
     "9\t10.0.0.1\t\t200\n1\t10.0.0.1\n1\t\t\t200\n2\t10.0.0.1\ta@b\t200\n1\t10.0.0.1\t\tsoon\nhello\n\n", 7, ""},
    {"no final line feed", "1\t10.0.0.1\t\t200", 0, "1\t10.0.0.1\t\t200\n"},
};

TEST(ParsingTest, BlocksFile) {
  for (const FileCase& c : kFiles) {
    SCOPED_TRACE(c.name);
    agent::BlockSet set;
    EXPECT_EQ(set.readFileText(c.text, 100), c.bad);
    EXPECT_EQ(set.fileText(), c.rewritten);
  }
}

// Values a peer chose are neutralised in the file; a block ends at its exact second.
TEST(ParsingTest, BlockSetValuesAndEnd) {
  agent::BlockSet set;
  set.add(agent::Block{agent::kIpConn, "10.0.0.1", 100, 200});
  set.add(agent::Block{agent::kSender, "a\tb\nc@d", 100, 200});
  EXPECT_EQ(set.fileText(), "1\t10.0.0.1\t\t200\n2\t\ta?b?c@d\t200\n");
  EXPECT_TRUE(set.blocks(agent::kIpConn, "10.0.0.1", 199));
  EXPECT_FALSE(set.blocks(agent::kIpConn, "10.0.0.1", 200));
  EXPECT_FALSE(set.blocks(agent::kIpMsg, "10.0.0.1", 199));
  EXPECT_TRUE(set.expire(199).empty());
  EXPECT_EQ(set.expire(200).size(), 2u);
  EXPECT_TRUE(set.empty());
}

}  // namespace

// The daemon's lines, however hostile or long the sender a client chose,
// reach an agent whole: each one line, read back field for field, and the
// next line on the same connection intact.
TEST(ParsingTest, TheDaemonsLinesReadBackWhole) {
  const std::string huge(1500, 's');
  const struct { const char* name; int type; std::string ip, sender, readIp, readSender; } cases[] = {
      {"plain", 3, "192.0.2.7", "a@b.example", "192.0.2.7", "a@b.example"},
      {"separators and control bytes", 2, "192.0.2.7", "x;y\n\r\x1b[2J@z", "192.0.2.7", "x?y???[2J@z"},
      {"a hostile ip", 1, "1.2.3.4;5\n", "", "1.2.3.4?5?", ""},
      {"a sender too long for the line is shortened", 3, "192.0.2.7", huge, "192.0.2.7", huge.substr(0, 977)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnTrafficItem item;
    item.timeStamp = 1800000000;
    item.scannerId = 1;
    item.type = c.type;
    item.ip = c.ip;
    item.sender = c.sender;
    const std::string line = trafficLine(item, 1);
    EXPECT_LE(line.size(), kTrafficLineSize - 1);
    agent::LineAssembler assembler;
    Collect sink;
    assembler.feed(line + trafficLine(item, 2), sink);
    ASSERT_EQ(2u, sink.lines.size());
    for (const std::string& text : sink.lines) {
      agent::TrafficLine read;
      ASSERT_EQ(nullptr, agent::parseTrafficLine(text, read)) << text;
      EXPECT_EQ(c.readIp, read.ip);
      EXPECT_EQ(c.readSender, read.sender);
    }
  }
}
