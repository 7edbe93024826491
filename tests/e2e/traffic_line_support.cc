#include "tests/e2e/traffic_line_support.h"

#include <stdlib.h>
#include <time.h>


namespace e2e {

namespace {

bool toNumber(const std::string& text, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = strtoll(text.c_str(), &end, 10);
  return *end == '\0';
}

}  // namespace

std::string TrafficLine::withoutTime() const {
  std::string s = key + ":_;" + std::to_string(scanner) + ";" + std::to_string(type) + ";" +
                  std::to_string(count) + ";" + ip;
  return hasSender ? s + ";" + sender : s;
}

TrafficLine parseTrafficLine(const std::string& line) {
  TrafficLine t;
  size_t colon = line.find(':');
  if (colon == std::string::npos) return t;
  t.key = line.substr(0, colon);
  // Split on ';' keeping empty fields, a trailing one (an empty sender) too.
  std::vector<std::string> fields;
  size_t start = colon + 1;
  for (size_t semi; (semi = line.find(';', start)) != std::string::npos; start = semi + 1)
    fields.push_back(line.substr(start, semi - start));
  fields.push_back(line.substr(start));
  if (fields.size() < 5 || fields.size() > 6) return t;
  long long n[4];
  for (int i = 0; i < 4; ++i)
    if (!toNumber(fields[static_cast<size_t>(i)], n[i])) return t;
  t.time = n[0];
  t.scanner = static_cast<int>(n[1]);
  t.type = static_cast<int>(n[2]);
  t.count = static_cast<int>(n[3]);
  t.ip = fields[4];
  t.hasSender = fields.size() == 6;
  if (t.hasSender) t.sender = fields[5];
  t.ok = true;
  return t;
}

long long epochNow() { return static_cast<long long>(time(nullptr)); }

}  // namespace e2e
