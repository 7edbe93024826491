#include "throttling/traffic_line.h"

#include <string.h>

#include <charconv>

#include "host/base/printable.h"

const char* trafficLineKey(int type) {
  if (type == kTrafficIPConn) return "ORCAS-Conn-IP";
  if (type == kTrafficIPMsg) return "ORCAS-Conn-MSG";
  return "ORCAS-Conn-Sender";
}

namespace {

char* putNumber(char* at, int value, char separator) {
  at = std::to_chars(at, at + 12, value).ptr;  // an int takes at most 11 bytes
  *at = separator;
  return at + 1;
}

// Copies `text`, with its ';' and control bytes made '?'.
char* putField(char* at, std::string_view text) {
  memcpy(at, text.data(), text.size());
  KELP::makePrintable(at, text.size(), ";");
  return at + text.size();
}

}  // namespace

// Built in a buffer of its own, then appended at once: one call into the
// string per line.
void appendTrafficLine(std::string& out, const RawConnTrafficItem& item, int count) {
  char line[kTrafficLineSize];
  const char* key = trafficLineKey(item.type);
  size_t keyLen = strlen(key);
  memcpy(line, key, keyLen);
  char* at = line + keyLen;
  *at++ = ':';
  at = putNumber(at, item.timeStamp, ';');
  at = putNumber(at, item.scannerId, ';');
  at = putNumber(at, item.type, ';');
  at = putNumber(at, count, ';');
  const bool withSender = item.type != kTrafficIPConn;
  // Room for the strings: up to the line feed's last place (the line is at
  // most kTrafficLineSize - 1 bytes), less the ';' before the sender.
  const char* lastFeed = line + kTrafficLineSize - 2;
  size_t room = static_cast<size_t>(lastFeed - at) - (withSender ? 1 : 0);
  std::string_view ip = item.ip;
  if (ip.size() > room) ip = ip.substr(0, room);
  at = putField(at, ip);
  if (withSender) {
    std::string_view sender = item.sender;
    if (sender.size() > room - ip.size()) sender = sender.substr(0, room - ip.size());
    *at++ = ';';
    at = putField(at, sender);
  }
  *at++ = '\n';
  out.append(line, static_cast<size_t>(at - line));
}

std::string trafficLine(const RawConnTrafficItem& item, int count) {
  std::string line;
  appendTrafficLine(line, item, count);
  return line;
}
