// The automatic blocks this agent has decided and that have not yet ended,
// per rule and key, and their one text form: the blocks file
// bin/keelgate-agent.blocks that the daemon reads at each reload and the
// agent reads back when it starts.
//
//   TYPE<TAB>IP<TAB>SENDER<TAB>EXPIRATION<LF>
//
// TYPE 1 (ip_conn), 3 (ip_msg) or 2 (sender); IP empty for type 2, SENDER
// empty for types 1 and 3; EXPIRATION in seconds since the epoch. A block is
// in force while now < EXPIRATION.
//
// Event loop thread only.
#ifndef KEELGATE_AGENT_BLOCK_SET_H
#define KEELGATE_AGENT_BLOCK_SET_H

#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "agent/rules.h"

namespace agent {

struct Block {
  Rule rule = kIpConn;
  std::string key;  // the IP, or the lower-cased sender
  time_t start = 0;
  time_t expiration = 0;

  int type() const { return blockTypeOf(rule); }
  std::string ip() const { return rule == kSender ? std::string() : key; }
  std::string sender() const { return rule == kSender ? key : std::string(); }
};

class BlockSet {
 public:
  // True when `key` of `rule` has a block still in force at `now`.
  bool blocks(Rule rule, const std::string& key, time_t now) const;
  // Adds a block, replacing one of the same rule and key.
  void add(const Block& block);
  // Removes and returns the blocks whose expiration is at or before `now`.
  std::vector<Block> expire(time_t now);
  size_t size() const;
  bool empty() const { return size() == 0; }
  // Every block, by rule, then key.
  std::vector<Block> all() const;

  // The file text of the blocks: lines as above, TABs and control bytes in
  // values as '?'.
  std::string fileText() const;
  // Adds the blocks of a file's text that are in force at `now`. Returns the
  // number of lines that could not be read (they are skipped).
  size_t readFileText(const std::string& text, time_t now);

 private:
  std::map<std::string, Block> byRule_[kRuleCount];
};

}  // namespace agent

#endif
