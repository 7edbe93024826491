// A bound on how many keys a map of client-chosen keys may hold (the traffic
// counts of a child scanner, the blocks awaiting the CSV log), and the count
// of new keys turned away at it. No lock of its own: its owner's mutex
// guards it with the map.
#ifndef KEELGATE_THROTTLING_KEY_CAP_H
#define KEELGATE_THROTTLING_KEY_CAP_H

#include <stddef.h>

class KeyCap {
 public:
  // True when a map of `size` keys may take a new one; else the key is
  // counted as dropped.
  bool admits(size_t size) {
    if (size < max_) return true;
    ++dropped_;
    return false;
  }
  void setMax(size_t keys) { max_ = keys; }
  size_t max() const { return max_; }
  // New keys dropped since the last call.
  unsigned long long takeDropped() {
    unsigned long long dropped = dropped_;
    dropped_ = 0;
    return dropped;
  }

 private:
  size_t max_ = 1000000;
  unsigned long long dropped_ = 0;
};

#endif
