#include "tests/e2e/csv_support.h"

#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace e2e {

namespace {

// Splits one CSV line on TAB, undoing the quoting of fields.
std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"' && (quoted || fields.back().empty())) {
      quoted = !quoted;
    } else if (c == '\t' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

}  // namespace

bool ensureKelpAccount() {
  if (getpwnam("kelp") != nullptr) return true;
  // Two tests may race to create it: the loser's failure is harmless.
  if (system("useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin kelp "
             ">/dev/null 2>&1") != 0) {
  }
  return getpwnam("kelp") != nullptr;
}

CsvFile parseCsv(const std::string& text) {
  CsvFile csv;
  size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    start = nl == std::string::npos ? text.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      csv.header = line;
      first = false;
      continue;
    }
    if (line.empty()) continue;
    std::vector<std::string> f = splitFields(line);
    f.resize(5);
    csv.rows.push_back({f[0], f[1], f[2], f[3], f[4]});
  }
  return csv;
}

long long csvTimeToEpoch(const std::string& text) {
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  const char* end = strptime(text.c_str(), "%b %d %Y %H:%M:%S UTC", &tm);
  if (end == nullptr || *end != '\0') return -1;
  return static_cast<long long>(timegm(&tm));
}

}  // namespace e2e
