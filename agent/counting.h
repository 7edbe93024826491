// What the agent decides: each traffic line is counted by the rule of its
// type, and on the parent scanner a key whose count in the last interval
// reaches the rule's limit is blocked for the rule's block time. The
// observation that brings the count to the limit blocks the key: with a
// limit of 100 the 100th connection of an interval is still answered as
// usual and the 101st is refused.
//
// A key already blocked is not counted until its block has ended; it then
// starts from 0. A child scanner's agent only counts lines for the metrics:
// its daemon reports the counts to the parent's agent, which decides.
//
// Plain values in, a block out: no socket, no file, no database. The time
// is the caller's (the event loop passes KELP::Clock::now()). Event loop
// thread only.
#ifndef KEELGATE_AGENT_COUNTING_H
#define KEELGATE_AGENT_COUNTING_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>

#include "agent/block_set.h"
#include "agent/rule_counter.h"
#include "agent/rules.h"
#include "agent/traffic_line_parser.h"

namespace agent {

class Counting {
 public:
  enum Source { kLocal = 0, kChild = 1 };
  struct Totals {
    uint64_t lines[kRuleCount][2] = {};  // by rule and Source
    uint64_t droppedKeys[kRuleCount] = {};
    uint64_t blocks[kRuleCount] = {};
  };

  // Takes the rules and the role; counts of a rule whose interval changed
  // start afresh, blocks stay.
  void configure(const RuleSet& rules, size_t maxKeys, bool parent, int64_t scannerId);
  bool parent() const { return parent_; }

  // Counts one line that arrived at `now`. True when it blocked its key: the
  // new block is in `block` and in blocks().
  bool observe(const TrafficLine& line, time_t now, Block& block);
  // Counts a stored row of a rule back in (a parent's start).
  void seed(Rule rule, const std::string& key, uint32_t count, time_t since, time_t now);

  // The key a line has under a rule: the IP, or the sender in lower case
  // ("<>" for the null sender).
  static void keyOf(Rule rule, const TrafficLine& line, std::string& key);

  RuleCounter& counter(Rule rule) { return counters_[rule]; }
  const RuleCounter& counter(Rule rule) const { return counters_[rule]; }
  BlockSet& blocks() { return blocks_; }
  const BlockSet& blocks() const { return blocks_; }
  const Totals& totals() const { return totals_; }
  // New keys not counted for want of room since the last call, per rule;
  // the call resets them (the caller logs once per cycle).
  uint64_t takeDroppedSinceLastCall(Rule rule);

 private:
  bool parent_ = true;
  int64_t scannerId_ = 1;
  RuleCounter counters_[kRuleCount];
  BlockSet blocks_;
  Totals totals_;
  uint64_t droppedInCycle_[kRuleCount] = {};
  std::string key_;  // reused for each line
};

}  // namespace agent

#endif
