#include "agent/traffic_line_parser.h"

#include "host/base/printable.h"

namespace agent {

namespace {

struct LineKey {
  const char* text;
  int type;
};
const LineKey kKeys[] = {{"ORCAS-Conn-IP:", 1}, {"ORCAS-Conn-MSG:", 2}, {"ORCAS-Conn-Sender:", 3}};

// A decimal number of at most 10 digits within [min, max].
bool readNumber(std::string_view text, int64_t min, int64_t max, int64_t& value) {
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v < min || v > max) return false;
  value = v;
  return true;
}

bool hasControlByte(std::string_view text) {
  for (char c : text)
    if (KELP::isControlByte(static_cast<unsigned char>(c))) return true;
  return false;
}

}  // namespace

const char* parseTrafficLine(std::string_view line, TrafficLine& out) {
  int type = 0;
  for (const LineKey& key : kKeys) {
    std::string_view k(key.text);
    if (line.substr(0, k.size()) == k) {
      type = key.type;
      line.remove_prefix(k.size());
      break;
    }
  }
  if (type == 0) return "unknown line key";
  if (hasControlByte(line)) return "control byte in the line";

  const size_t want = type == 1 ? 5 : 6;
  std::string_view fields[6];
  size_t n = 0;
  for (size_t start = 0;;) {
    size_t end = line.find(';', start);
    if (n == want) return "too many fields";
    fields[n++] = line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (n != want) return "too few fields";

  int64_t time, scanner, lineType, count;
  if (!readNumber(fields[0], INT32_MIN, INT32_MAX, time)) return "bad time field";
  if (!readNumber(fields[1], INT32_MIN, INT32_MAX, scanner)) return "bad scanner field";
  if (!readNumber(fields[2], 1, 3, lineType) || lineType != type) return "type field does not match the line key";
  if (!readNumber(fields[3], 1, INT32_MAX, count)) return "bad count field";
  if (fields[4].empty() || fields[4].size() > kMaxIpField) return "bad ip field";
  if (type != 1 && fields[5].size() > kMaxSenderField) return "sender field too long";

  out.type = type;
  out.time = time;
  out.scanner = scanner;
  out.count = static_cast<uint32_t>(count);
  out.ip = fields[4];
  out.sender = type == 1 ? std::string_view() : fields[5];
  return nullptr;
}

}  // namespace agent
