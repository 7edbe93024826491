#include "host/sender_set.h"

namespace KELP {

namespace {

void keepLarger(std::unordered_map<std::string, long long>& map, const std::string& key,
                long long value) {
  auto inserted = map.emplace(key, value);
  if (!inserted.second && inserted.first->second < value) inserted.first->second = value;
}

bool isNullSender(const std::string& sender) { return sender.empty() || sender == "<>"; }

}  // namespace

std::string lowerAscii(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool SenderSet::add(const std::string& entry, long long value) {
  if (entry == "<>") {
    if (!hasNull_ || nullValue_ < value) nullValue_ = value;
    hasNull_ = true;
    return true;
  }
  if (entry.find_first_of(" \t\r\n") != std::string::npos) return false;
  size_t at = entry.rfind('@');
  if (at == std::string::npos || at + 1 == entry.size() || entry.find('@') != at) return false;
  std::string domain = lowerAscii(entry.substr(at + 1));
  if (at == 0) {
    keepLarger(domains_, domain, value);
    return true;
  }
  keepLarger(addresses_, lowerAscii(entry), value);
  return true;
}

const long long* SenderSet::find(const std::string& sender) const {
  if (isNullSender(sender)) return hasNull_ ? &nullValue_ : nullptr;
  std::string key = lowerAscii(sender);
  auto address = addresses_.find(key);
  if (address != addresses_.end()) return &address->second;
  size_t at = key.rfind('@');
  if (at == std::string::npos) return nullptr;
  auto domain = domains_.find(key.substr(at + 1));
  return domain != domains_.end() ? &domain->second : nullptr;
}

}  // namespace KELP
