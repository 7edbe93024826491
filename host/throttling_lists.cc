#include "host/throttling_lists.h"

#include <errno.h>
#include <string.h>

#include <vector>

#include "host/config_file_on_disk.h"
#include "host/log.h"

namespace KELP {

namespace {

const char* const kListFiles[kThrottlingListCount] = {"approved_ip", "blocked_ip", "approved_sender",
                                                     "blocked_sender"};

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  size_t pos = 0;
  for (;;) {
    pos = line.find_first_not_of(" \t\r", pos);
    if (pos == std::string::npos) return fields;
    size_t end = line.find_first_of(" \t\r", pos);
    fields.push_back(line.substr(pos, end == std::string::npos ? end : end - pos));
    if (end == std::string::npos) return fields;
    pos = end;
  }
}

// Seconds since the epoch: 1 to 18 decimal digits, so it always fits.
bool parseExpiration(const std::string& text, long long& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

const char* ipProblem(Ipv4BlockParse result) {
  switch (result) {
    case Ipv4BlockParse::kBadPrefix: return "bad prefix length, line skipped";
    case Ipv4BlockParse::kHostBitsSet: return "address has bits set below the prefix length, line skipped";
    default: return "not an IPv4 address or CIDR block, line skipped";
  }
}

// Adds one entry; null when it was added, else what is wrong with it.
const char* addEntry(ThrottlingListKind kind, const std::vector<std::string>& fields,
                     ListImageBuilder& lists) {
  bool blocked = kind == ThrottlingListKind::kBlockedIp || kind == ThrottlingListKind::kBlockedSender;
  if (fields.size() > 2) return "more than two fields, line skipped";
  if (fields.size() == 2 && !blocked) return "approved entries take no expiration, line skipped";
  long long expiration = kNeverExpires;
  if (fields.size() == 2 && !parseExpiration(fields[1], expiration))
    return "expiration is not a whole number of seconds since the epoch, line skipped";
  if (kind == ThrottlingListKind::kApprovedIp || kind == ThrottlingListKind::kBlockedIp) {
    uint32_t addr;
    int prefix;
    Ipv4BlockParse result = parseIPv4Block(fields[0], addr, prefix);
    if (result != Ipv4BlockParse::kOk) return ipProblem(result);
    lists.addIp(blocked ? ListSide::kBlocked : ListSide::kApproved, addr, prefix, expiration);
    return nullptr;
  }
  if (!lists.addSender(blocked ? ListSide::kBlocked : ListSide::kApproved, fields[0], expiration))
    return "not an address, @domain or <>, line skipped";
  return nullptr;
}

}  // namespace

const char* throttlingListFile(ThrottlingListKind kind) { return kListFiles[static_cast<int>(kind)]; }

void parseThrottlingList(ThrottlingListKind kind, const std::string& path,
                         const std::string& text, ListImageBuilder& lists) {
  int lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields = fieldsOf(line.substr(0, line.find('#')));
    if (fields.empty()) continue;
    const char* problem = addEntry(kind, fields, lists);
    if (problem != nullptr)
      Log::LogByLevel(LOG_NORMAL, "throttling list [%s] line %d: %s [%.100s]", path.c_str(),
                      lineNo, problem, line.c_str());
  }
}

}  // namespace KELP
