#include "throttling/traffic_line.h"

#include <stdio.h>

const char* trafficLineKey(int type) {
  if (type == kTrafficIPConn) return "ORCAS-Conn-IP";
  if (type == kTrafficIPMsg) return "ORCAS-Conn-MSG";
  return "ORCAS-Conn-Sender";
}

std::string trafficLine(const RawConnTrafficItem& item, int count) {
  char line[kTrafficLineSize];
  int n;
  if (item.type == kTrafficIPConn) {
    n = snprintf(line, sizeof line, "%s:%d;%d;%d;%d;%s\n", trafficLineKey(item.type),
                 item.timeStamp, item.scannerId, item.type, count, item.ip.c_str());
  } else {
    n = snprintf(line, sizeof line, "%s:%d;%d;%d;%d;%s;%s\n", trafficLineKey(item.type),
                 item.timeStamp, item.scannerId, item.type, count, item.ip.c_str(),
                 item.sender.c_str());
  }
  if (n < 0) return std::string();
  return std::string(line);  // snprintf kept at most 1023 characters
}
