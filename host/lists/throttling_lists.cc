#include "host/lists/throttling_lists.h"

#include <errno.h>
#include <string.h>


#include "host/config/config_file_on_disk.h"
#include "host/log/log.h"

namespace KELP {

namespace {

const char* const kListFiles[kThrottlingListCount] = {"approved_ip", "blocked_ip", "approved_sender",
                                                     "blocked_sender"};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The blank-separated fields of [p, end); a third one means "too many", so
// counting stops there.
struct Fields {
  int count = 0;
  const char* start[3];
  size_t len[3];
};

Fields fieldsOf(const char* p, const char* end) {
  Fields f;
  while (f.count < 3) {
    while (p < end && isBlank(*p)) ++p;
    if (p == end) break;
    const char* begin = p;
    while (p < end && !isBlank(*p)) ++p;
    f.start[f.count] = begin;
    f.len[f.count] = static_cast<size_t>(p - begin);
    ++f.count;
  }
  return f;
}

// Seconds since the epoch: 1 to 18 decimal digits, so it always fits.
bool parseExpiration(const char* text, size_t len, long long& value) {
  if (len == 0 || len > 18) return false;
  value = 0;
  for (size_t i = 0; i < len; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
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
const char* addEntry(ThrottlingListKind kind, const Fields& fields, ListImageBuilder& lists) {
  bool blocked = kind == ThrottlingListKind::kBlockedIp || kind == ThrottlingListKind::kBlockedSender;
  if (fields.count > 2) return "more than two fields, line skipped";
  if (fields.count == 2 && !blocked) return "approved entries take no expiration, line skipped";
  long long expiration = kNeverExpires;
  if (fields.count == 2 && !parseExpiration(fields.start[1], fields.len[1], expiration))
    return "expiration is not a whole number of seconds since the epoch, line skipped";
  const std::string entry(fields.start[0], fields.len[0]);
  if (kind == ThrottlingListKind::kApprovedIp || kind == ThrottlingListKind::kBlockedIp) {
    uint32_t addr;
    int prefix;
    Ipv4BlockParse result = parseIPv4Block(entry, addr, prefix);
    if (result != Ipv4BlockParse::kOk) return ipProblem(result);
    lists.addIp(blocked ? ListSide::kBlocked : ListSide::kApproved, addr, prefix, expiration);
    return nullptr;
  }
  if (!lists.addSender(blocked ? ListSide::kBlocked : ListSide::kApproved, entry, expiration))
    return "not an address, @domain or <>, line skipped";
  return nullptr;
}

}  // namespace

const char* throttlingListFile(ThrottlingListKind kind) { return kListFiles[static_cast<int>(kind)]; }

void parseThrottlingList(ThrottlingListKind kind, const std::string& path,
                         const std::string& text, ListImageBuilder& lists) {
  const char* const end = text.data() + text.size();
  size_t lines = 0;
  for (const char* nl = text.data(); (nl = static_cast<const char*>(memchr(nl, '\n', end - nl))) != nullptr; ++nl)
    ++lines;
  bool ipList = kind == ThrottlingListKind::kApprovedIp || kind == ThrottlingListKind::kBlockedIp;
  bool blocked = kind == ThrottlingListKind::kBlockedIp || kind == ThrottlingListKind::kBlockedSender;
  ListSide side = blocked ? ListSide::kBlocked : ListSide::kApproved;
  if (ipList)
    lists.reserveIps(side, lines + 1);
  else
    lists.reserveSenders(side, lines + 1, text.size());
  int lineNo = 0;
  const char* p = text.data();
  while (p < end) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* lineEnd = nl != nullptr ? nl : end;
    const char* lineStart = p;
    p = lineEnd + 1;
    ++lineNo;
    if (lineEnd > lineStart && lineEnd[-1] == '\r') --lineEnd;
    const char* hash = static_cast<const char*>(memchr(lineStart, '#', static_cast<size_t>(lineEnd - lineStart)));
    Fields fields = fieldsOf(lineStart, hash != nullptr ? hash : lineEnd);
    if (fields.count == 0) continue;
    const char* problem = addEntry(kind, fields, lists);
    if (problem != nullptr)
      Log::LogByLevel(LOG_NORMAL, "throttling list [%s] line %d: %s [%.100s]", path.c_str(), lineNo, problem,
                      std::string(lineStart, lineEnd).c_str());
  }
}

}  // namespace KELP
