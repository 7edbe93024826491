#include "throttling/conn_traffic_item.h"

#include <string.h>

namespace {

// Compares the key string chosen by the right-hand operand's type; c_str() so
// that an embedded NUL ends the comparison.
bool keyLess(const std::string& aIp, const std::string& aSender, const std::string& bIp,
             const std::string& bSender, int32_t rhsType) {
  if (rhsType == kTrafficIPConn) return strcmp(aIp.c_str(), bIp.c_str()) < 0;
  return strcmp(aSender.c_str(), bSender.c_str()) < 0;
}

}  // namespace

bool RawConnTrafficItem::operator<(const RawConnTrafficItem& b) const {
  return keyLess(ip, sender, b.ip, b.sender, b.type);
}

bool ConnTrafficItem::operator<(const ConnTrafficItem& b) const {
  if (timeStamp != b.timeStamp) return timeStamp < b.timeStamp;
  return keyLess(ip, sender, b.ip, b.sender, b.type);
}
