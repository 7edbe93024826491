// Matching of mail domains against exact entries ("bank.example") and
// subdomain entries (".bank.example": any domain below bank.example, not
// bank.example itself). Case-insensitive (ASCII).
//
// An exact entry wins over a subdomain entry; among subdomain entries the
// longest wins; among entries with the same text the first inserted stays.
// A lookup costs one hash probe for the exact entry and one per label of the
// domain, whatever the number of entries.
//
// Not thread-safe for writes; concurrent lookups on an unchanging table are fine.
#ifndef KEELGATE_HOST_TLS_DOMAIN_TABLE_H
#define KEELGATE_HOST_TLS_DOMAIN_TABLE_H

#include <stddef.h>

#include <string>
#include <unordered_map>

namespace KELP {

class DomainTable {
 public:
  // Adds `value` under `entry` ("bank.example" or ".bank.example") unless that
  // entry is already present. Returns the value the entry now holds: `value`,
  // or the earlier one. An entry that names no domain ("" or ".") is refused:
  // returns false and leaves `held` alone.
  bool insert(const std::string& entry, size_t value, size_t& held);

  // True when an entry matches `domain`; its value goes to `value`.
  bool find(const std::string& domain, size_t& value) const;

  size_t size() const { return exact_.size() + below_.size(); }

 private:
  std::unordered_map<std::string, size_t> exact_;
  std::unordered_map<std::string, size_t> below_;  // keyed without the leading dot
};

}  // namespace KELP

#endif
