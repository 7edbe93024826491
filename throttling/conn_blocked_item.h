// One blocked client IP or sender, the key of SmtpConnBlockedList's map.
//
// Identity: an IP item (type 1 or 3) is its szIP alone, a sender item (any
// other type) its szSender alone, so repeated blocks fold into the first item
// whatever their time and, for a sender, their IP. Map order: IP items before
// sender items, each kind by byte-wise comparison of its field; this is also
// the order of the CSV rows.
#ifndef KEELGATE_THROTTLING_CONN_BLOCKED_ITEM_H
#define KEELGATE_THROTTLING_CONN_BLOCKED_ITEM_H

#include <time.h>

#include <string>

class ConnBlockedItem {
 public:
  ConnBlockedItem();

  // The CSV time text of `t`, "%b %d %Y %X UTC" as in the POSIX locale (for
  // example "Dec 03 2026 23:40:00 UTC"), into szTimez; false (and szTimez
  // empty) when `t` cannot be converted.
  bool setTime(time_t t);

  bool isIPItem() const { return iType == 1 || iType == 3; }
  bool operator<(const ConnBlockedItem& other) const;

  char szTimez[64];      // UTC time of the first block; "" when unknown
  std::string szIP;      // client IP as the MTA sent it
  std::string szSender;  // envelope sender; empty for IP items
  int iType;             // 1 blocked IP, 2 blocked sender
};

#endif
