#include "agent/agent_settings.h"

#include <string.h>

#include "host/config/config_file_on_disk.h"
#include "host/config/role.h"
#include "host/db/odbc_data_source.h"
#include "host/lists/smtp_conn_settings.h"
#include "host/log/log.h"

namespace agent {

namespace {

const char kSection[] = "smtp_agent";

enum class Kind { kAddresses, kCidrs, kHostPortOrEmpty, kNumber };

// One row per key of [smtp_agent]: its default (read like a value from the
// file), its kind, and the range of a number.
struct Row {
  const char* key;
  const char* byDefault;
  Kind kind;
  long long min, max;
  int AgentSettings::*number;
};

const Row kRows[] = {
    {"listen", "127.0.0.1", Kind::kAddresses, 0, 0, nullptr},
    {"children", "", Kind::kCidrs, 0, 0, nullptr},
    {"metrics", "127.0.0.1:9740", Kind::kHostPortOrEmpty, 0, 0, nullptr},
    {"store_interval", "60", Kind::kNumber, 1, 86400, &AgentSettings::storeInterval},
    {"expire_interval", "10", Kind::kNumber, 1, 3600, &AgentSettings::expireInterval},
    {"version_poll_interval", "5", Kind::kNumber, 1, 3600, &AgentSettings::versionPollInterval},
    {"max_keys", "1000000", Kind::kNumber, 1, 100000000, &AgentSettings::maxKeys},
};

bool readNumber(const std::string& text, long long min, long long max, long long& value) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoll(text);
  return value >= min && value <= max;
}

// Stores the value of one row; false, with what was expected, when it
// cannot be read.
bool store(const Row& row, const std::string& value, AgentSettings& s, std::string& expected) {
  switch (row.kind) {
    case Kind::kAddresses: {
      expected = "one or more IPv4 or IPv6 addresses";
      s.listen = splitWords(value);
      IpAddress ignored;
      for (const std::string& a : s.listen)
        if (!parseIpAddress(a, ignored)) return false;
      return !s.listen.empty();
    }
    case Kind::kCidrs: {
      expected = "CIDR blocks such as 192.0.2.0/24";
      s.children.clear();
      s.childrenText = value;
      for (const std::string& word : splitWords(value)) {
        Cidr c;
        if (!parseCidr(word, c)) return false;
        s.children.push_back(c);
      }
      return true;
    }
    case Kind::kHostPortOrEmpty:
      expected = "address:port, or nothing";
      s.metricsHost.clear();
      s.metricsPort = 0;
      return value.empty() || parseHostPort(value, s.metricsHost, s.metricsPort);
    case Kind::kNumber: {
      expected = "a whole number from " + std::to_string(row.min) + " to " + std::to_string(row.max);
      long long v = 0;
      if (!readNumber(value, row.min, row.max, v)) return false;
      s.*row.number = static_cast<int>(v);
      return true;
    }
  }
  return false;
}

void logBad(const std::string& path, const char* section, const char* key, const std::string& value,
            const std::string& expected) {
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "agent config [%s] section [%s]: bad value [%.100s] for key [%s], expected %s",
                        path.c_str(), section, value.c_str(), key, expected.c_str());
}

bool readAgentSection(const KELP::ConfigFileOnDisk& ini, AgentSettings& s) {
  bool ok = true;
  for (const Row& row : kRows) {
    std::string value = row.byDefault, expected;
    ini.getparam(kSection, row.key, value);
    if (!store(row, value, s, expected)) {
      logBad(ini.path(), kSection, row.key, value, expected);
      ok = false;
    }
  }
  for (const auto& section : ini.sections()) {
    if (section.name != kSection) continue;
    for (const auto& entry : section.entries) {
      bool known = false;
      for (const Row& row : kRows) known = known || entry.key == row.key;
      if (!known)
        KELP::Log::LogByLevel(KELP::LOG_NORMAL, "agent config [%s] section [%s]: unknown key [%.100s] ignored",
                              ini.path().c_str(), kSection, entry.key.c_str());
    }
  }
  return ok;
}

bool readIdentity(const KELP::ConfigFileOnDisk& ini, const std::string& home, AgentSettings& s) {
  s.parent = isMaster(home);
  std::string id = "1";
  ini.getparam("kelp_manager", "scanner_id", id);
  long long v = 0;
  if (!readNumber(id, 1, 2147483647, v)) {
    logBad(ini.path(), "kelp_manager", "scanner_id", id, "a whole number from 1 to 2147483647");
    return false;
  }
  s.scannerId = v;
  return true;
}

bool readThrottling(const KELP::ConfigFileOnDisk& ini, const std::string& home, AgentSettings& s) {
  KELP::SmtpConnSettings t;
  if (!KELP::readSmtpConnSettings(ini, home, t)) return false;
  if (t.smtpAgentPort > 65535) {
    logBad(ini.path(), KELP::kSmtpConnSection, "smtp_agent_port", std::to_string(t.smtpAgentPort),
           "a port from 1 to 65535 (0 for 10040)");
    return false;
  }
  s.port = t.smtpAgentPort == 0 ? 10040 : t.smtpAgentPort;
  s.rules = rulesFromSettings(t);
  s.logLevel = KELP::levelFromWord(t.logLevel);
  return true;
}

}  // namespace

bool loadAgentSettings(const std::string& home, AgentSettings& out) {
  std::string path = home + "/config/kelp.ini";
  KELP::ConfigFileOnDisk ini(path.c_str());
  if (!ini.loaded) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "agent config [%s] cannot be read: %s", path.c_str(),
                          strerror(ini.readError()));
    return false;
  }
  ini.logProblems();
  AgentSettings s;
  bool ok = readIdentity(ini, home, s);
  ok = readThrottling(ini, home, s) && ok;
  ok = readAgentSection(ini, s) && ok;
  if (!ok) return false;
  s.databaseConfigured = KELP::databaseConfigured(home);
  out = s;
  return true;
}

std::string restartOnlyChange(const AgentSettings& running, const AgentSettings& fresh) {
  if (running.parent != fresh.parent) return "role";
  if (running.scannerId != fresh.scannerId) return "scanner_id";
  if (running.port != fresh.port) return "smtp_agent_port";
  if (running.listen != fresh.listen) return "listen";
  if (running.metricsHost != fresh.metricsHost || running.metricsPort != fresh.metricsPort) return "metrics";
  return "";
}

}  // namespace agent
