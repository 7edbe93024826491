#include "agent/rule_counter.h"

namespace agent {

namespace {

// Least time between prunes forced by a full table.
const time_t kFullPruneSeconds = 10;

}  // namespace

void RuleCounter::configure(const RuleLimits& limits, size_t maxKeys) {
  if (limits.interval != limits_.interval || !limits.counting) map_.clear();
  limits_ = limits;
  maxKeys_ = maxKeys;
  int interval = limits.interval > 0 ? limits.interval : 1;
  width_ = static_cast<uint32_t>(interval / 60 > 0 ? interval / 60 : 1);
  span_ = static_cast<uint32_t>(interval) / width_;
}

uint32_t RuleCounter::slotOf(time_t t) const {
  if (t < 0) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(t) / width_);
}

KeyWindow* RuleCounter::windowFor(const std::string& key, time_t now) {
  auto it = map_.find(key);
  if (it != map_.end()) return &it->second;
  if (map_.size() >= maxKeys_ && now - lastFullPrune_ >= kFullPruneSeconds) {
    lastFullPrune_ = now;
    prune(now);
  }
  if (map_.size() >= maxKeys_) return nullptr;
  return &map_.emplace(key, KeyWindow()).first->second;
}

RuleCounter::Outcome RuleCounter::observe(const std::string& key, uint32_t count, time_t now) {
  if (!counts()) return Outcome::kIgnored;
  KeyWindow* window = windowFor(key, now);
  if (window == nullptr) return Outcome::kDropped;
  uint32_t sum = window->add(slotOf(now), count, span_);
  if (limits_.blocks() && sum >= static_cast<uint32_t>(limits_.limit)) return Outcome::kReachedLimit;
  return Outcome::kCounted;
}

uint32_t RuleCounter::countOf(const std::string& key, time_t now) {
  auto it = map_.find(key);
  return it == map_.end() ? 0 : it->second.sumAt(slotOf(now), span_);
}

size_t RuleCounter::prune(time_t now) {
  const uint32_t slot = slotOf(now);
  size_t gone = 0;
  for (auto it = map_.begin(); it != map_.end();) {
    it->second.sumAt(slot, span_);
    if (it->second.empty()) {
      it = map_.erase(it);
      ++gone;
    } else {
      ++it;
    }
  }
  return gone;
}

void RuleCounter::snapshot(time_t now, std::vector<Stored>& out) {
  prune(now);
  const uint32_t slot = slotOf(now);
  out.reserve(out.size() + map_.size());
  for (auto& entry : map_) {
    uint32_t count = entry.second.sumAt(slot, span_);
    time_t since = static_cast<time_t>(entry.second.oldestSlot()) * width_;
    out.push_back(Stored{entry.first, count, since});
  }
}

bool RuleCounter::seed(const std::string& key, uint32_t count, time_t since, time_t now) {
  if (!counts() || count == 0) return true;
  const uint32_t nowSlot = slotOf(now);
  uint32_t slot = since > now ? nowSlot : slotOf(since);
  if (nowSlot - slot >= span_) return true;  // it has left the window
  KeyWindow* window = windowFor(key, now);
  if (window == nullptr) return false;
  window->add(slot, count, span_);
  return true;
}

}  // namespace agent
