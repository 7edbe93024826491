#include "agent/counting.h"

namespace agent {

void Counting::configure(const RuleSet& rules, size_t maxKeys, bool parent, int64_t scannerId) {
  parent_ = parent;
  scannerId_ = scannerId;
  for (int r = 0; r < kRuleCount; ++r) {
    RuleLimits limits = rules.rule[r];
    // A child keeps no windows: it decides nothing.
    if (!parent) limits.counting = false;
    counters_[r].configure(limits, maxKeys);
  }
}

void Counting::keyOf(Rule rule, const TrafficLine& line, std::string& key) {
  if (rule != kSender) {
    key.assign(line.ip.data(), line.ip.size());
    return;
  }
  if (line.sender.empty()) {
    key = "<>";
    return;
  }
  key.assign(line.sender.data(), line.sender.size());
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

bool Counting::observe(const TrafficLine& line, time_t now, Block& block) {
  const Rule rule = ruleOfLineType(line.type);
  const Source source = line.scanner == scannerId_ ? kLocal : kChild;
  ++totals_.lines[rule][source];
  if (!parent_) return false;

  keyOf(rule, line, key_);
  if (blocks_.blocks(rule, key_, now)) return false;
  RuleCounter& counter = counters_[rule];
  switch (counter.observe(key_, line.count, now)) {
    case RuleCounter::Outcome::kDropped:
      ++totals_.droppedKeys[rule];
      ++droppedInCycle_[rule];
      return false;
    case RuleCounter::Outcome::kReachedLimit:
      break;
    default:
      return false;
  }
  block.rule = rule;
  block.key = key_;
  block.start = now;
  block.expiration = now + counter.limits().blockTime;
  blocks_.add(block);
  counter.forget(key_);
  ++totals_.blocks[rule];
  return true;
}

void Counting::seed(Rule rule, const std::string& key, uint32_t count, time_t since, time_t now) {
  if (!parent_ || blocks_.blocks(rule, key, now)) return;
  if (!counters_[rule].seed(key, count, since, now)) {
    ++totals_.droppedKeys[rule];
    ++droppedInCycle_[rule];
  }
}

uint64_t Counting::takeDroppedSinceLastCall(Rule rule) {
  uint64_t n = droppedInCycle_[rule];
  droppedInCycle_[rule] = 0;
  return n;
}

}  // namespace agent
