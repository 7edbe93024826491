#include "throttling/traffic_line.h"

#include <stdio.h>

#include "host/base/printable.h"

const char* trafficLineKey(int type) {
  if (type == kTrafficIPConn) return "ORCAS-Conn-IP";
  if (type == kTrafficIPMsg) return "ORCAS-Conn-MSG";
  return "ORCAS-Conn-Sender";
}

std::string trafficLine(const RawConnTrafficItem& item, int count) {
  char head[96];
  int n = snprintf(head, sizeof head, "%s:%d;%d;%d;%d;", trafficLineKey(item.type), item.timeStamp,
                   item.scannerId, item.type, count);
  if (n < 0) return std::string();
  const bool withSender = item.type != kTrafficIPConn;
  // Room for the strings: the line's bytes less the head, the ';' before the
  // sender and the line feed.
  size_t room = kTrafficLineSize - 1 - static_cast<size_t>(n) - (withSender ? 1 : 0) - 1;
  std::string_view ip = item.ip;
  if (ip.size() > room) ip = ip.substr(0, room);
  std::string_view sender = withSender ? std::string_view(item.sender) : std::string_view();
  if (sender.size() > room - ip.size()) sender = sender.substr(0, room - ip.size());

  std::string line;
  line.reserve(static_cast<size_t>(n) + ip.size() + sender.size() + 2);
  line.append(head, static_cast<size_t>(n));
  size_t from = line.size();
  line.append(ip);
  if (withSender) line.append(1, ';').append(sender);
  KELP::makePrintable(&line[from], ip.size(), ";");
  if (withSender) KELP::makePrintable(&line[from + ip.size() + 1], sender.size(), ";");
  line.push_back('\n');
  return line;
}
