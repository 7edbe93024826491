// Traffic records: one observation (RawConnTrafficItem) and one aggregated
// row of the database store (ConnTrafficItem), with the orderings that make
// them map keys.
//
// Traffic types: 1 connection per client IP, 2 message per client IP,
// 3 message per sender. A map holds items of one type only, which is what
// keeps the orderings below consistent: a < b looks at b's type alone, so two
// observations are one map entry when their IPs match (type 1) or their
// senders match (types 2 and 3). Strings compare byte-wise up to the first NUL.
#ifndef KEELGATE_THROTTLING_CONN_TRAFFIC_ITEM_H
#define KEELGATE_THROTTLING_CONN_TRAFFIC_ITEM_H

#include <stdint.h>

#include <string>

enum : int32_t {
  kTrafficIPConn = 1,    // one accepted connection, folded by client IP
  kTrafficIPMsg = 2,     // one message, folded by sender
  kTrafficSenderMsg = 3  // one message, folded by sender
};

// One traffic observation. `count` stays 0 here: the number of observations
// folded into a map entry is the map's mapped value.
struct RawConnTrafficItem {
  int32_t timeStamp = 0;  // seconds since the epoch
  std::string ip;         // client IP as the MTA sent it
  std::string sender;     // envelope sender; empty for type 1
  int32_t type = 0;
  int32_t count = 0;
  int32_t scannerId = 0;

  bool operator<(const RawConnTrafficItem& b) const;
};

// One aggregated traffic row: `count` is the row's count, `timeStamp` its time.
struct ConnTrafficItem {
  int32_t timeStamp = 0;
  std::string ip;
  std::string sender;
  int32_t type = 0;
  int32_t count = 0;
  int32_t scannerId = 0;

  // By time stamp, then as RawConnTrafficItem.
  bool operator<(const ConnTrafficItem& b) const;
};

#endif
