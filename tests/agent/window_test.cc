// The sliding windows and the block decision, as tables of observations at
// set times: resolution edges, the exact second a slot leaves the window,
// the limit reached or not, the count restarting after a block, saturation
// and the bound on keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/counting.h"
#include "host/base/clock.h"

namespace {

using agent::Block;
using agent::Counting;
using agent::RuleLimits;
using agent::TrafficLine;

// A second at the start of a 60-second slot.
const time_t T = 1800000000;

// An observation of `count` from `ip` at `at`: whether it blocks its key,
// and the key's count in the window after it.
struct Step { time_t at; const char* ip; uint32_t count; bool blocks; uint32_t countAfter; };
// The limits of the ip_conn rule, the bound on keys and the observations.
struct WindowCase { const char* name; RuleLimits limits; size_t maxKeys; std::vector<Step> steps; };

const uint32_t kMax = 2147483647;

const WindowCase kCases[] = {
    {"the observation that brings the count to the limit blocks", {true, 3600, 3, 600}, 10,
     {{T, "10.0.0.1", 1, false, 1}, {T + 1, "10.0.0.1", 1, false, 2}, {T + 2, "10.0.0.1", 1, true, 0}}},
    {"below the limit within the interval: no block", {true, 3600, 3, 600}, 10,
     {{T, "10.0.0.1", 1, false, 1}, {T + 3000, "10.0.0.1", 1, false, 2}}},
    {"a slot counts until the last second of the interval", {true, 3600, 2, 600}, 10,
     {{T, "10.0.0.1", 1, false, 1}, {T + 3599, "10.0.0.1", 1, true, 0}}},
    {"a slot leaves the window at the exact second the interval ends", {true, 3600, 2, 600}, 10,
     {{T, "10.0.0.1", 1, false, 1}, {T + 3600, "10.0.0.1", 1, false, 1}}},
    {"resolution: an observation late in its slot leaves with the slot", {true, 3600, 2, 600}, 10,
     {{T + 59, "10.0.0.1", 1, false, 1}, {T + 3600, "10.0.0.1", 1, false, 1}}},
    {"an interval of 60 counts to the second", {true, 60, 2, 600}, 10,
     {{T + 30, "10.0.0.1", 1, false, 1}, {T + 90, "10.0.0.1", 1, false, 1}, {T + 149, "10.0.0.1", 1, true, 0}}},
    {"an interval that is no multiple of 60 never counts longer than itself", {true, 100, 2, 600}, 10,
     {{T, "10.0.0.1", 1, false, 1}, {T + 100, "10.0.0.1", 1, false, 1}}},
    {"a child's folded count past the limit blocks at once", {true, 3600, 10, 600}, 10, {{T, "10.0.0.1", 50, true, 0}}},
    {"keys count apart", {true, 3600, 2, 600}, 10,
     {{T, "10.0.0.1", 1, false, 1}, {T, "10.0.0.2", 1, false, 1}, {T + 1, "10.0.0.2", 1, true, 0}}},
    {"a blocked key is not counted and starts afresh when its block ends", {true, 3600, 2, 100}, 10,
     {{T, "10.0.0.1", 1, false, 1}, {T + 1, "10.0.0.1", 1, true, 0}, {T + 100, "10.0.0.1", 5, false, 0},
      {T + 101, "10.0.0.1", 1, false, 1}, {T + 102, "10.0.0.1", 1, true, 0}}},
    {"a limit of 0 counts and never blocks", {true, 3600, 0, 600}, 10, {{T, "10.0.0.1", 1000, false, 1000}}},
    {"a block time of 0 counts and never blocks", {true, 3600, 5, 0}, 10, {{T, "10.0.0.1", 1000, false, 1000}}},
    {"a rule switched off counts nothing", {false, 3600, 1, 600}, 10, {{T, "10.0.0.1", 1, false, 0}}},
    {"counts saturate instead of wrapping, and recover when slots leave", {true, 3600, 0, 600}, 10,
     {{T, "10.0.0.1", kMax, false, kMax}, {T + 1, "10.0.0.1", kMax, false, 2u * kMax},
      {T + 60, "10.0.0.1", kMax, false, UINT32_MAX}, {T + 3600, "10.0.0.1", 1, false, kMax + 1}}},
    {"a clock stepping back counts in the newest slot, which still leaves in time", {true, 3600, 0, 600}, 10,
     {{T + 120, "10.0.0.1", 1, false, 1}, {T, "10.0.0.1", 1, false, 2}, {T + 3720, "10.0.0.1", 1, false, 1}}},
    {"past max_keys a new key is dropped, known keys still count", {true, 3600, 3, 600}, 2,
     {{T, "10.0.0.1", 1, false, 1}, {T, "10.0.0.2", 1, false, 1}, {T, "10.0.0.3", 1, false, 0},
      {T + 1, "10.0.0.1", 2, true, 0}}},
    {"a full table makes room by forgetting keys whose windows emptied", {true, 3600, 3, 600}, 1,
     {{T, "10.0.0.1", 1, false, 1}, {T + 3600, "10.0.0.2", 1, false, 1}}},
};

// A connection line of this scanner (1).
TrafficLine lineFor(const char* ip, uint32_t count) { return TrafficLine{1, 0, 1, count, ip, ""}; }

TEST(WindowTest, Cases) {
  for (const WindowCase& c : kCases) {
    SCOPED_TRACE(c.name);
    Counting counting;
    agent::RuleSet rules;
    rules.rule[agent::kIpConn] = c.limits;
    counting.configure(rules, c.maxKeys, true, 1);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      KELP::Clock::freezeAt(s.at);
      Block block;
      EXPECT_EQ(counting.observe(lineFor(s.ip, s.count), KELP::Clock::now(), block), s.blocks);
      if (s.blocks) {
        EXPECT_EQ(block.key, s.ip);
        EXPECT_EQ(block.type(), 1);
        EXPECT_EQ(block.expiration, s.at + c.limits.blockTime);
      }
      EXPECT_EQ(counting.counter(agent::kIpConn).countOf(s.ip, s.at), s.countAfter);
    }
  }
  KELP::Clock::thaw();
}

TEST(WindowTest, MaxKeysDropIsCounted) {
  Counting counting;
  agent::RuleSet rules;
  rules.rule[agent::kIpConn] = {true, 3600, 0, 0};
  counting.configure(rules, 1, true, 1);
  Block block;
  for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) counting.observe(lineFor(ip, 1), T, block);
  EXPECT_EQ(counting.totals().droppedKeys[agent::kIpConn], 2u);
  EXPECT_EQ(counting.takeDroppedSinceLastCall(agent::kIpConn), 2u);
  EXPECT_EQ(counting.takeDroppedSinceLastCall(agent::kIpConn), 0u);
}

// Which rule, key (of the block) and source a line is counted under, and what a child does.
struct RoutingCase { const char* name; bool parent; int type; int64_t scanner; const char *sender, *key; bool blocks; };

const RoutingCase kRouting[] = {
    {"a sender is compared without regard to case", true, 3, 1, "Bob@Example.COM", "bob@example.com", true},
    {"the null sender is counted as <>", true, 3, 1, "", "<>", true},
    {"a message line counts by IP", true, 2, 1, "bob@example.com", "10.0.0.9", true},
    {"a line of another scanner counts towards the parent's decision", true, 1, 7, "", "10.0.0.9", true},
    {"a child's agent never blocks", false, 1, 1, "", "", false},
};

TEST(WindowTest, Routing) {
  for (const RoutingCase& c : kRouting) {
    SCOPED_TRACE(c.name);
    Counting counting;
    agent::RuleSet rules;
    for (auto& r : rules.rule) r = {true, 3600, 1, 60};
    counting.configure(rules, 10, c.parent, 1);
    TrafficLine line = lineFor("10.0.0.9", 1);
    line.type = c.type;
    line.scanner = c.scanner;
    line.sender = c.sender;
    Block block;
    EXPECT_EQ(counting.observe(line, T, block), c.blocks);
    if (c.blocks) {
      EXPECT_EQ(block.key, c.key);
    }
    const int source = c.scanner == 1 ? Counting::kLocal : Counting::kChild;
    EXPECT_EQ(counting.totals().lines[agent::ruleOfLineType(c.type)][source], 1u);
  }
}

}  // namespace
