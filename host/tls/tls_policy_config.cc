#include "host/tls/tls_policy_config.h"

#include "host/config/install_dir.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "host/base/clock.h"
#include "host/base/sender_address.h"
#include "host/config/config_file_on_disk.h"
#include "host/tls/domain_table.h"
#include "host/tls/ip_prefix_table.h"
#include "host/log/log.h"

using KELP::ConfigFileOnDisk;
using KELP::LOG_NORMAL;
using KELP::Log;

namespace {

const char* const kLevels[] = {"none", "may", "encrypt", "verify"};
const char* const kCiphers[] = {"high", "medium"};
const char kPolicyPrefix[] = "policy";

// True when `word` is one of `known`, in any case; `out` then holds it in
// lower case. Any other word is stored as written, for the daemon to treat
// as the strictest reading.
template <size_t N>
bool takeWord(const std::string& word, const char* const (&known)[N], std::string& out) {
  std::string folded = KELP::lowerAscii(word);
  for (const char* k : known)
    if (folded == k) return out = folded, true;
  out = word;
  return false;
}

bool isListSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }

// Calls `take` with each item of a blank- or comma-separated list.
template <typename Take>
void forEachItem(const std::string& value, Take take) {
  std::string item;
  const char* p = value.data();
  const char* const end = p + value.size();
  while (p < end) {
    while (p < end && isListSeparator(*p)) ++p;
    const char* begin = p;
    while (p < end && !isListSeparator(*p)) ++p;
    if (p == begin) break;
    item.assign(begin, p);
    take(item);
  }
}

// The name of a "[policy NAME]" section; false for any other section.
bool policyName(const std::string& section, std::string& name) {
  size_t n = sizeof kPolicyPrefix - 1;
  if (section.compare(0, n, kPolicyPrefix) != 0 || section.size() <= n ||
      (section[n] != ' ' && section[n] != '\t'))
    return false;
  name = section.substr(section.find_first_not_of(" \t", n));
  return true;
}

}  // namespace

// One complete load: built aside, then swapped in whole.
struct TLSPolicyConfig::Tables {
  TLSPolicy fallback{"default", "may", "medium"};
  std::vector<TLSPolicy> policies;
  KELP::IpPrefixTable clients;
  KELP::DomainTable domains;

  void load(const ConfigFileOnDisk& file);

 private:
  void readDefault(const ConfigFileOnDisk::Section& s);
  void readPolicy(const ConfigFileOnDisk::Section& s, const std::string& name);
  // Reads level or cipher; false when the key is neither.
  bool readLevelOrCipher(const ConfigFileOnDisk::Entry& e, const std::string& section,
                         TLSPolicy& p);
  void addClients(const std::string& list, const std::string& section, size_t index);
  void addDomains(const std::string& list, const std::string& section, size_t index);
  void warn(const std::string& section, const char* what, const std::string& value,
            const char* outcome);

  std::string path_;
};

void TLSPolicyConfig::Tables::warn(const std::string& section, const char* what,
                                   const std::string& value, const char* outcome) {
  Log::LogByLevel(LOG_NORMAL, "TLS policy file [%s] section [%.100s]: %s [%.200s], %s",
                  path_.c_str(), section.c_str(), what, value.c_str(), outcome);
}

void TLSPolicyConfig::Tables::load(const ConfigFileOnDisk& file) {
  path_ = file.path();
  std::string name;
  for (const ConfigFileOnDisk::Section& s : file.sections()) {
    if (s.name == "default")
      readDefault(s);
    else if (policyName(s.name, name))
      readPolicy(s, name);
    else if (s.line != 0 || !s.entries.empty())  // the implicit "" section is fine when empty
      warn(s.name, "section", s.name, "not [default] or [policy NAME], ignored");
  }
}

void TLSPolicyConfig::Tables::readDefault(const ConfigFileOnDisk::Section& s) {
  for (const ConfigFileOnDisk::Entry& e : s.entries)
    if (!readLevelOrCipher(e, s.name, fallback)) warn(s.name, "unknown key", e.key, "ignored");
}

void TLSPolicyConfig::Tables::readPolicy(const ConfigFileOnDisk::Section& s,
                                         const std::string& name) {
  size_t index = policies.size();
  policies.push_back(TLSPolicy{name, "may", "medium"});
  for (const ConfigFileOnDisk::Entry& e : s.entries) {
    if (readLevelOrCipher(e, s.name, policies[index])) continue;
    if (e.key == "clients")
      addClients(e.value, s.name, index);
    else if (e.key == "domains")
      addDomains(e.value, s.name, index);
    else
      warn(s.name, "unknown key", e.key, "ignored");
  }
}

bool TLSPolicyConfig::Tables::readLevelOrCipher(const ConfigFileOnDisk::Entry& e,
                                                const std::string& section, TLSPolicy& p) {
  if (e.key == "level") {
    if (!takeWord(e.value, kLevels, p.level))
      warn(section, "unknown level", e.value, "taken as TLS required");
  } else if (e.key == "cipher") {
    if (!takeWord(e.value, kCiphers, p.cipher))
      warn(section, "unknown cipher", e.value, "taken as medium or better");
  } else {
    return false;
  }
  return true;
}

void TLSPolicyConfig::Tables::addClients(const std::string& list, const std::string& section,
                                         size_t index) {
  forEachItem(list, [&](const std::string& item) {
    KELP::IpPrefix prefix;
    if (!KELP::parseIpPrefix(item, prefix)) {
      warn(section, "unreadable client address", item, "skipped");
      return;
    }
    size_t held = clients.insert(prefix, index);
    if (held != index)
      warn(section, "client", item, ("already listed by policy [" + policies[held].name + "], kept there").c_str());
  });
}

void TLSPolicyConfig::Tables::addDomains(const std::string& list, const std::string& section,
                                         size_t index) {
  forEachItem(list, [&](const std::string& item) {
    size_t held = index;
    if (!domains.insert(item, index, held))
      warn(section, "empty domain entry", item, "skipped");
    else if (held != index)
      warn(section, "domain", item, ("already listed by policy [" + policies[held].name + "], kept there").c_str());
  });
}

TLSPolicyConfig::TLSPolicyConfig(TLS_POLICY_DIRECTION, const std::string& home)
    : tables_(new Tables) {
  path_ = KELP::pathUnderInstallDir(KELP::installDir(home), "config/tls_policy.ini");
}

TLSPolicyConfig::~TLSPolicyConfig() = default;

bool TLSPolicyConfig::init() { return reload(); }

bool TLSPolicyConfig::reload() {
  KELP::FileStamp stamp;
  bool stamped = KELP::readFileStamp(path_, stamp);
  if (stamped && settled_ && stamp == loaded_) {
    Log::LogByLevel(KELP::LOG_DEBUG, "TLS policy file [%s] unchanged since it was loaded, kept", path_.c_str());
    return true;
  }
  settled_ = false;
  ConfigFileOnDisk file(path_.c_str());
  std::unique_ptr<Tables> fresh(new Tables);
  if (!file.loaded && file.readError() == ENOENT) {
    Log::LogByLevel(LOG_NORMAL, "TLS policy file [%s] not found, only the default policy applies", path_.c_str());
    tables_ = std::move(fresh);
    return true;
  }
  if (!file.loaded || !file.problems().empty()) {
    if (!file.loaded)
      Log::LogByLevel(LOG_NORMAL, "TLS policy file [%s] cannot be read: %s", path_.c_str(),
                      strerror(file.readError()));
    file.logProblems();
    Log::LogByLevel(LOG_NORMAL, "TLS policy file [%s] not loaded, the policies in force are kept", path_.c_str());
    return false;
  }
  fresh->load(file);
  tables_ = std::move(fresh);
  // Stamped before the read: a change during the read shows at the next one.
  loaded_ = stamp;
  settled_ = stamped && stamp.settledAt(KELP::Clock::now());
  Log::LogByLevel(KELP::LOG_DEBUG, "TLS policy file [%s] loaded: %zu policies, %zu client and %zu domain entries",
                  path_.c_str(), tables_->policies.size(), tables_->clients.size(),
                  tables_->domains.size());
  return true;
}

bool TLSPolicyConfig::getTLSPolicy(std::string& key, TLSPolicy& policy, bool byClient) {
  const Tables& t = *tables_;
  size_t index = 0;
  if (byClient) {
    KELP::IpPrefix address;
    if (!KELP::parseIpAddress(key, address) || !t.clients.find(address, index)) return false;
  } else if (!t.domains.find(key, index)) {
    policy = t.fallback;
    return false;
  }
  policy = t.policies[index];
  return true;
}

const TLSPolicy& TLSPolicyConfig::defaultPolicy() const { return tables_->fallback; }

size_t TLSPolicyConfig::size() const { return tables_->policies.size(); }
