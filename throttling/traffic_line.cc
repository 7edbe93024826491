#include "throttling/traffic_line.h"

#include <charconv>

#include "host/base/printable.h"

const char* trafficLineKey(int type) {
  if (type == kTrafficIPConn) return "ORCAS-Conn-IP";
  if (type == kTrafficIPMsg) return "ORCAS-Conn-MSG";
  return "ORCAS-Conn-Sender";
}

namespace {

void appendNumber(std::string& out, int value, char separator) {
  char digits[16];
  std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, r.ptr).push_back(separator);
}

}  // namespace

void appendTrafficLine(std::string& out, const RawConnTrafficItem& item, int count) {
  const size_t start = out.size();
  out.append(trafficLineKey(item.type)).push_back(':');
  appendNumber(out, item.timeStamp, ';');
  appendNumber(out, item.scannerId, ';');
  appendNumber(out, item.type, ';');
  appendNumber(out, count, ';');
  const size_t head = out.size() - start;
  const bool withSender = item.type != kTrafficIPConn;
  // Room for the strings: the line's bytes less the head, the ';' before the
  // sender and the line feed.
  size_t room = kTrafficLineSize - 1 - head - (withSender ? 1 : 0) - 1;
  std::string_view ip = item.ip;
  if (ip.size() > room) ip = ip.substr(0, room);
  std::string_view sender = withSender ? std::string_view(item.sender) : std::string_view();
  if (sender.size() > room - ip.size()) sender = sender.substr(0, room - ip.size());

  const size_t from = out.size();
  out.append(ip);
  if (withSender) out.append(1, ';').append(sender);
  KELP::makePrintable(&out[from], ip.size(), ";");
  if (withSender) KELP::makePrintable(&out[from + ip.size() + 1], sender.size(), ";");
  out.push_back('\n');
}

std::string trafficLine(const RawConnTrafficItem& item, int count) {
  std::string line;
  appendTrafficLine(line, item, count);
  return line;
}
