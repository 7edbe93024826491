#include "host/tls/domain_table.h"

#include "host/base/sender_address.h"

namespace KELP {

bool DomainTable::insert(const std::string& entry, size_t value, size_t& held) {
  bool below = !entry.empty() && entry[0] == '.';
  std::string key = lowerAscii(below ? entry.substr(1) : entry);
  if (key.empty()) return false;
  auto& map = below ? below_ : exact_;
  held = map.emplace(key, value).first->second;
  return true;
}

bool DomainTable::find(const std::string& domain, size_t& value) const {
  if (domain.empty()) return false;
  std::string d = lowerAscii(domain);
  auto it = exact_.find(d);
  if (it != exact_.end()) {
    value = it->second;
    return true;
  }
  if (below_.empty()) return false;
  // Suffixes after each dot, longest first; the whole domain is never one.
  for (size_t dot = d.find('.'); dot != std::string::npos; dot = d.find('.', dot + 1)) {
    it = below_.find(d.substr(dot + 1));
    if (it != below_.end()) {
      value = it->second;
      return true;
    }
  }
  return false;
}

}  // namespace KELP
