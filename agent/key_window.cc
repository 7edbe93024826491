#include "agent/key_window.h"

#include <string.h>

namespace agent {

KeyWindow::~KeyWindow() { release(); }

KeyWindow::KeyWindow(KeyWindow&& other) noexcept { take(other); }

KeyWindow& KeyWindow::operator=(KeyWindow&& other) noexcept {
  if (this == &other) return *this;
  release();
  take(other);
  return *this;
}

// Moves other's entries here (this holds none) and leaves other empty.
void KeyWindow::take(KeyWindow& other) {
  sum_ = other.sum_;
  size_ = other.size_;
  capacity_ = other.capacity_;
  if (capacity_ == 1)
    inline_ = other.inline_;
  else
    heap_ = other.heap_;
  other.sum_ = 0;
  other.size_ = 0;
  other.capacity_ = 1;
  other.inline_ = {0, 0};
}

void KeyWindow::release() {
  if (capacity_ != 1) delete[] heap_;
  capacity_ = 1;
  inline_ = {0, 0};
}

uint32_t KeyWindow::add(uint32_t slot, uint32_t count, uint32_t span) {
  sumAt(slot, span);
  Entry* entries = data();
  if (size_ > 0 && entries[size_ - 1].slot >= slot) {
    Entry& newest = entries[size_ - 1];
    newest.count = saturatingAdd(newest.count, count);
  } else {
    append({slot, count});
  }
  sum_ = saturatingAdd(sum_, count);
  return sum_;
}

uint32_t KeyWindow::sumAt(uint32_t slot, uint32_t span) {
  // The window is the slots (slot - span, slot]; a span of at least the
  // slot number keeps everything.
  if (span <= slot) dropBefore(slot - span + 1);
  return sum_;
}

void KeyWindow::dropBefore(uint32_t firstKept) {
  Entry* entries = data();
  uint8_t gone = 0;
  while (gone < size_ && entries[gone].slot < firstKept) ++gone;
  if (gone == 0) return;
  const bool saturated = sum_ == UINT32_MAX;
  if (!saturated)
    for (uint8_t i = 0; i < gone; ++i) sum_ -= entries[i].count;
  memmove(entries, entries + gone, (size_ - gone) * sizeof(Entry));
  size_ = static_cast<uint8_t>(size_ - gone);
  if (saturated) {
    // A saturated sum lost track of what it holds: add up what is left.
    sum_ = 0;
    for (uint8_t i = 0; i < size_; ++i) sum_ = saturatingAdd(sum_, entries[i].count);
  }
  if (size_ == 0) release();
}

void KeyWindow::append(Entry entry) {
  if (size_ == capacity_) {
    if (capacity_ == 128) {
      // More slots than any window holds: the oldest two are merged (this
      // only happens for spans above 128, which RuleCounter never uses).
      Entry* entries = data();
      entries[1].count = saturatingAdd(entries[1].count, entries[0].count);
      memmove(entries, entries + 1, (size_ - 1) * sizeof(Entry));
      --size_;
    } else {
      uint8_t grown = static_cast<uint8_t>(capacity_ == 1 ? 4 : capacity_ * 2);
      Entry* fresh = new Entry[grown];
      memcpy(fresh, data(), size_ * sizeof(Entry));
      if (capacity_ != 1) delete[] heap_;
      heap_ = fresh;
      capacity_ = grown;
    }
  }
  data()[size_++] = entry;
}

}  // namespace agent
