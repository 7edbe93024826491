#include "host/lists/smtp_conn_settings.h"

#include <limits.h>

#include "host/config/config_file_on_disk.h"
#include "host/config/install_dir.h"
#include "host/log/log.h"
#include "host/log/log_level.h"
#include "host/base/sender_address.h"

namespace KELP {

const char kSmtpConnSection[] = "smtp_traffic_throttling";

namespace {

// The longest block answer that, with the "\n\n" that ends it, fits in the
// 100 bytes a worker sends.
const size_t kLongestWholeAction = 98;

enum class Kind { kBool, kNumber, kPath, kName, kLevelWord, kAction };

typedef SmtpConnSettings S;

// One row per key: its default (read like a value from the file), the kind of
// value, the range of a number, and where it goes.
struct Row {
  const char* key;
  const char* byDefault;
  Kind kind;
  int min, max;
  bool S::*flag;
  int S::*number;
  std::string S::*text;
};

#define FLAG(key, def, m) {key, def, Kind::kBool, 0, 0, &S::m, nullptr, nullptr}
#define NUMBER(key, def, lo, hi, m) {key, def, Kind::kNumber, lo, hi, nullptr, &S::m, nullptr}
#define TEXT(key, def, kind, m) {key, def, kind, 0, 0, nullptr, nullptr, &S::m}

const Row kRows[] = {
    // The daemon reads the agent port on its own terms (0 means the default,
    // a larger number keeps its low 16 bits): any whole number is taken here,
    // so that such a port never turns the whole of throttling off.
    NUMBER("smtp_agent_port", "10040", 0, INT_MAX, smtpAgentPort),
    FLAG("enable", "yes", enable),
    FLAG("ip_conn_enable", "no", ipConnEnable),
    FLAG("ip_msg_enable", "no", ipMsgEnable),
    NUMBER("ip_interval", "3600", 0, INT_MAX, ipInterval),
    NUMBER("ip_conn_limit", "0", 0, INT_MAX, ipConnLimit),
    NUMBER("ip_msg_limit", "0", 0, INT_MAX, ipMsgLimit),
    NUMBER("ip_block_time", "0", 0, INT_MAX, ipBlockTime),
    FLAG("sender_enable", "no", senderEnable),
    NUMBER("sender_interval", "3600", 0, INT_MAX, senderInterval),
    NUMBER("sender_msg_limit", "0", 0, INT_MAX, senderMsgLimit),
    NUMBER("sender_block_time", "0", 0, INT_MAX, senderBlockTime),
    NUMBER("blocked_log_interval", "300", 0, INT_MAX, blockedLogInterval),
    TEXT("blocked_log_path", "log", Kind::kPath, blockedLogPath),
    TEXT("blocked_log_prefix", "smtp_conn_blocked", Kind::kName, blockedLogPrefix),
    NUMBER("blocked_log_rotate_size", "1024", 0, INT_MAX, blockedLogRotateSize),
    TEXT("traffic_log_path", "log", Kind::kPath, trafficLogPath),
    TEXT("traffic_log_prefix", "smtp_conn_traffic", Kind::kName, trafficLogPrefix),
    NUMBER("traffic_log_rotate_size", "1024", 0, INT_MAX, trafficLogRotateSize),
    TEXT("ldf_file", "config/smtp_conn_blocked.ldf", Kind::kPath, ldfFile),
    TEXT("log_level", "normal", Kind::kLevelWord, logLevel),
    TEXT("ip_blocked_action",
         "action=421 4.7.0 Too much traffic from your IP address, try again later",
         Kind::kAction, ipBlockedAction),
    TEXT("sender_blocked_action",
         "action=450 4.7.1 Too much traffic from this sender, try again later",
         Kind::kAction, senderBlockedAction),
    // Caps on what SMTP clients can make a worker hold in memory.
    NUMBER("max_traffic_keys", "1000000", 1, INT_MAX, maxTrafficKeys),
    NUMBER("max_blocked_items", "1000000", 1, INT_MAX, maxBlockedItems),
};

#undef FLAG
#undef NUMBER
#undef TEXT

bool parseNumber(const std::string& text, int min, int max, int& value) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < min || v > max) return false;
  value = static_cast<int>(v);
  return true;
}

// Stores `value` of `row` into `s`; false, with what was expected, when the
// value cannot be read.
bool store(const Row& row, const std::string& value, const std::string& home, S& s,
           std::string& expected) {
  switch (row.kind) {
    case Kind::kBool:
      expected = "yes/no, true/false, on/off or 1/0";
      return parseBoolWord(value, s.*row.flag);
    case Kind::kNumber:
      expected = "a whole decimal number from " + std::to_string(row.min) + " to " +
                 std::to_string(row.max);
      return parseNumber(value, row.min, row.max, s.*row.number);
    case Kind::kPath:
      expected = "a path";
      if (value.empty()) return false;
      s.*row.text = pathUnderInstallDir(home, value);
      return true;
    case Kind::kName:
      expected = "a file name prefix without '/'";
      if (value.empty() || value.find('/') != std::string::npos) return false;
      s.*row.text = value;
      return true;
    case Kind::kLevelWord:
      s.*row.text = levelWord(levelFromWord(value));
      return true;
    case Kind::kAction:
      expected = "an answer starting with \"action=\"";
      if (value.compare(0, 7, "action=") != 0 || value.find_first_not_of(" \t", 7) == std::string::npos)
        return false;
      s.*row.text = value;
      return true;
  }
  return false;
}

void logUnknownKeys(const ConfigFileOnDisk& ini) {
  for (const ConfigFileOnDisk::Section& section : ini.sections()) {
    if (section.name != kSmtpConnSection) continue;
    for (const ConfigFileOnDisk::Entry& entry : section.entries) {
      bool known = false;
      for (const Row& row : kRows) known = known || entry.key == row.key;
      if (!known)
        Log::LogByLevel(LOG_NORMAL, "SMTP Traffic Throttling config [%s]: unknown key [%.100s] ignored",
                        ini.path().c_str(), entry.key.c_str());
    }
  }
}

}  // namespace

bool readSmtpConnSettings(const ConfigFileOnDisk& ini, const std::string& home,
                          SmtpConnSettings& settings) {
  bool ok = true;
  for (const Row& row : kRows) {
    std::string value = row.byDefault;
    bool given = ini.getparam(kSmtpConnSection, row.key, value);
    std::string expected;
    if (!store(row, value, home, settings, expected)) {
      Log::LogByLevel(LOG_NORMAL,
                      "SMTP Traffic Throttling config [%s] section [%s]: bad value [%.100s] for key [%s], expected %s",
                      ini.path().c_str(), kSmtpConnSection, value.c_str(), row.key, expected.c_str());
      ok = false;
    } else if (row.kind == Kind::kAction && value.size() > kLongestWholeAction) {
      // Kept as configured: every answer is cut at 100 bytes, so this one
      // reaches the MTA without the empty line that ends it.
      Log::LogByLevel(LOG_NORMAL,
                      "SMTP Traffic Throttling config [%s]: the answer of key [%s] is %zu bytes, it is sent cut to "
                      "100 bytes without its closing empty line (keep it to %zu)",
                      ini.path().c_str(), row.key, value.size(), kLongestWholeAction);
    } else if (given && row.kind == Kind::kLevelWord && lowerAscii(value) != settings.logLevel) {
      Log::LogByLevel(LOG_NORMAL, "SMTP Traffic Throttling config [%s]: unknown level [%.100s] for key [%s], using [%s]",
                      ini.path().c_str(), value.c_str(), row.key, settings.logLevel.c_str());
    }
  }
  logUnknownKeys(ini);
  return ok;
}

}  // namespace KELP
