// The three counting rules of SMTP traffic throttling as the agent sees them:
// which traffic lines each one counts, the block type it stores, its label
// in the metrics, and its limits taken from [smtp_traffic_throttling].
// Plain values; safe for any thread.
#ifndef KEELGATE_AGENT_RULES_H
#define KEELGATE_AGENT_RULES_H

#include "host/lists/smtp_conn_settings.h"

namespace agent {

enum Rule : int {
  kIpConn = 0,  // type-1 lines (a connection), keyed by client IP
  kIpMsg = 1,   // type-2 lines (a message), keyed by client IP
  kSender = 2,  // type-3 lines (a message), keyed by lower-cased sender
  kRuleCount = 3
};

// "ip_conn", "ip_msg", "sender": the metrics label.
const char* ruleLabel(Rule rule);
// The rule that counts lines of a type 1..3.
Rule ruleOfLineType(int lineType);
// The type of a rule's blocks in t_sender_filter_blocked and the blocks
// file: 1 ip_conn, 3 ip_msg, 2 sender. ruleOfBlockType is its inverse
// (false for any other number).
int blockTypeOf(Rule rule);
bool ruleOfBlockType(int blockType, Rule& rule);

// One rule's numbers. `counting` is false when the rule is switched off; a
// limit or block time of 0 counts without ever blocking.
struct RuleLimits {
  bool counting = false;
  int interval = 0;   // seconds
  int limit = 0;      // the count that blocks the key
  int blockTime = 0;  // seconds
  bool blocks() const { return counting && interval > 0 && limit > 0 && blockTime > 0; }
  bool operator==(const RuleLimits& o) const {
    return counting == o.counting && interval == o.interval && limit == o.limit && blockTime == o.blockTime;
  }
};

// The limits of the three rules, indexed by Rule.
struct RuleSet {
  RuleLimits rule[kRuleCount];
};

// The rules of the parsed [smtp_traffic_throttling] section; `enable` = no
// leaves every rule off.
RuleSet rulesFromSettings(const KELP::SmtpConnSettings& s);

}  // namespace agent

#endif
