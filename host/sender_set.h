// Senders of the throttling lists: whole addresses, whole domains and the
// null sender, each with a number (the block's expiration).
//
// Entry forms: "user@example.com" (an address), "@example.com" (every address
// of that domain, not of its subdomains) and "<>" (the null sender). Matching
// ignores ASCII case. A sender is looked up by the most specific entry: its
// address first, then its domain (the text after the last '@'). The empty
// sender and the literal "<>" are both the null sender: MTAs hand the null
// sender over as an empty value, but logs and tools write it "<>".
//
// Hash tables: a lookup costs two probes whatever the number of entries.
// Immutable once built; const lookups are safe from any thread.
#ifndef KEELGATE_HOST_SENDER_SET_H
#define KEELGATE_HOST_SENDER_SET_H

#include <stddef.h>

#include <string>
#include <unordered_map>

namespace KELP {

// ASCII lower case of `s`.
std::string lowerAscii(const std::string& s);

class SenderSet {
 public:
  // Adds an entry in one of the forms above; false when `entry` has none of
  // them (not exactly one '@', an empty domain, a blank). A repeated entry
  // keeps the larger value.
  bool add(const std::string& entry, long long value);
  // The value of the most specific entry matching `sender`, or null.
  const long long* find(const std::string& sender) const;
  size_t size() const { return addresses_.size() + domains_.size() + (hasNull_ ? 1 : 0); }

 private:
  std::unordered_map<std::string, long long> addresses_;  // lower case
  std::unordered_map<std::string, long long> domains_;    // lower case, without '@'
  bool hasNull_ = false;
  long long nullValue_ = 0;
};

}  // namespace KELP

#endif
