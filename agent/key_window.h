// The recent counts of one key of one rule: the non-empty slots of the
// rule's sliding window, oldest first, and their sum. A slot is a stretch of
// 1/60 of the rule's interval (see RuleCounter); only slots that were counted
// in are kept, so a key seen once costs 16 bytes here and a busy key at most
// one 8-byte entry per slot of the window.
//
// Owned by RuleCounter on the event loop thread; no locking.
#ifndef KEELGATE_AGENT_KEY_WINDOW_H
#define KEELGATE_AGENT_KEY_WINDOW_H

#include <stdint.h>

namespace agent {

class KeyWindow {
 public:
  KeyWindow() : inline_{0, 0} {}
  ~KeyWindow();
  KeyWindow(KeyWindow&& other) noexcept;
  KeyWindow& operator=(KeyWindow&& other) noexcept;
  KeyWindow(const KeyWindow&) = delete;
  KeyWindow& operator=(const KeyWindow&) = delete;

  // Counts `count` in `slot` after dropping the slots that are no longer
  // among the `span` slots ending at `slot`. A slot older than the newest
  // held (a clock that stepped back) counts in the newest. Sums saturate.
  // Returns the sum over the window.
  uint32_t add(uint32_t slot, uint32_t count, uint32_t span);
  // Drops the slots outside the `span` slots ending at `slot`; the sum left.
  uint32_t sumAt(uint32_t slot, uint32_t span);

  bool empty() const { return size_ == 0; }
  // The oldest slot held; only when not empty.
  uint32_t oldestSlot() const { return data()[0].slot; }

 private:
  struct Entry {
    uint32_t slot;
    uint32_t count;
  };
  Entry* data() { return capacity_ == 1 ? &inline_ : heap_; }
  const Entry* data() const { return capacity_ == 1 ? &inline_ : heap_; }
  void dropBefore(uint32_t firstKept);
  void append(Entry entry);
  void release();
  void take(KeyWindow& other);

  uint32_t sum_ = 0;
  uint8_t size_ = 0;
  uint8_t capacity_ = 1;  // 1: the entry is inline_, else heap_ holds capacity_
  union {
    Entry inline_;
    Entry* heap_;
  };
};

// a + b, stopping at UINT32_MAX.
inline uint32_t saturatingAdd(uint32_t a, uint32_t b) { return a > UINT32_MAX - b ? UINT32_MAX : a + b; }

}  // namespace agent

#endif
