// The sliding windows of one counting rule: per key, the counts of the last
// `interval` seconds at a resolution of 1/60 of the interval.
//
// Time is cut into slots of W = max(1, interval / 60) seconds (slot number =
// now / W) and the window is the current slot and the span - 1 before it,
// span = interval / W. An observation therefore counts from the second it
// arrives until the second its slot leaves the window: at most `interval`
// seconds, and never less than interval - W (exactly `interval` when W = 1).
//
// Memory is bounded by max_keys keys: past it a new key is not counted
// (kDropped). Keys whose windows have emptied are erased by prune(), which
// also runs, at most once per ten seconds, when a new key finds no room.
//
// Event loop thread only.
#ifndef KEELGATE_AGENT_RULE_COUNTER_H
#define KEELGATE_AGENT_RULE_COUNTER_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "agent/key_window.h"
#include "agent/rules.h"

namespace agent {

class RuleCounter {
 public:
  enum class Outcome {
    kIgnored,       // the rule does not count (off, or an interval of 0)
    kCounted,       // counted, below the limit (or a rule that never blocks)
    kReachedLimit,  // counted, and the count reached the limit
    kDropped,       // a new key with no room left: not counted
  };
  // One key's count as stored between runs: `since` is its oldest slot.
  struct Stored {
    std::string key;
    uint32_t count;
    time_t since;
  };

  // Takes new limits. A changed interval empties the counts: their slots
  // stood for other stretches of time.
  void configure(const RuleLimits& limits, size_t maxKeys);
  const RuleLimits& limits() const { return limits_; }

  Outcome observe(const std::string& key, uint32_t count, time_t now);
  // Forgets a key (it was just blocked: its count starts afresh).
  void forget(const std::string& key) { map_.erase(key); }
  // The key's count in the window ending now; 0 for an unknown key.
  uint32_t countOf(const std::string& key, time_t now);

  size_t keys() const { return map_.size(); }
  // Erases the keys whose windows are empty at `now`; how many went.
  size_t prune(time_t now);
  // Prunes, then appends one row per key to `out`.
  void snapshot(time_t now, std::vector<Stored>& out);
  // Counts a stored row back in at `since` (at the current slot when it
  // lies ahead; in the key's newest slot when it has counted since, so a
  // seed never leaves early); nothing when its slot has left the window.
  // False when a new key found no room.
  bool seed(const std::string& key, uint32_t count, time_t since, time_t now);

  uint32_t slotWidth() const { return width_; }
  uint32_t span() const { return span_; }

 private:
  uint32_t slotOf(time_t t) const;
  bool counts() const { return limits_.counting && limits_.interval > 0; }
  // The key's window, made when there is room; null when there is none.
  KeyWindow* windowFor(const std::string& key, time_t now);

  RuleLimits limits_;
  size_t maxKeys_ = 0;
  uint32_t width_ = 1, span_ = 1;
  time_t lastFullPrune_ = 0;
  std::unordered_map<std::string, KeyWindow> map_;
};

}  // namespace agent

#endif
