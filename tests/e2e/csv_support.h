// The blocked-connection CSV log as a test sees it: the system account that
// owns it, its rows taken apart, and its UTC time text turned into seconds.
#ifndef KEELGATE_TESTS_E2E_CSV_SUPPORT_H
#define KEELGATE_TESTS_E2E_CSV_SUPPORT_H

#include <string>
#include <vector>

namespace e2e {

// Creates the system account "kelp" when it is missing, as the install script
// does; false when it still does not exist.
bool ensureKelpAccount();

struct CsvRow {
  std::string time;  // szTimez, "%b %d %Y %X UTC"
  std::string ip;
  std::string sender;
  std::string type;
  std::string count;
};

// The lines of a CSV text: the first is the header, the rest are rows split
// on TAB (a quoted field keeps its TABs and doubled quotes).
struct CsvFile {
  std::string header;
  std::vector<CsvRow> rows;
};
CsvFile parseCsv(const std::string& text);

// Seconds since the epoch of a szTimez text; -1 when it does not read.
long long csvTimeToEpoch(const std::string& text);

}  // namespace e2e

#endif
