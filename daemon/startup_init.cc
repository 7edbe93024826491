#include "daemon/startup_init.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "daemon/cipher_suites.h"
#include "daemon/globals.h"
#include "daemon/reload_flags.h"

int initLog(bool reinit) {
  std::string path = g_kelp_home + "/config/kelp.ini";
  if (access(path.c_str(), F_OK) != 0) return -1;
  g_cfg_kelp_onmem =
      KELP::GlobalSettingOnMem::Instance(path.c_str(), true, nullptr, nullptr, nullptr, nullptr, true);
  if (g_cfg_kelp_onmem == nullptr || !g_cfg_kelp_onmem->isReady()) return -1;
  g_logmsg = KELP::LogMsgQxCLM::Instance(10, g_cfg_kelp_onmem, true, 2, "kelp");
  if (g_logmsg == nullptr) return -1;

  KELP::DualQuery* query = g_keelgate_conn.prepare(
      "tls_log_level", "select value from tb_global_setting where section='general' and name='log_level'");
  if (query == nullptr) return -1;
  KELP::DataStmtParams params;
  KELP::DualResult* result = query->execute(params);
  if (result == nullptr) {
    query->release();
    return -1;
  }
  std::string word = "normal";
  while (result->next()) {
    const char* value = nullptr;
    if (result->getString("value", &value) && value != nullptr) word = value;
  }
  KELP::KELPLogLevel level = KELP::levelFromWord(word);
  if (reinit)
    KELP::Log::Reinit(g_logmsg, level);
  else
    KELP::Log::Init(g_logmsg, level);
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "--- %s --- ", "keelgate");
  query->release();
  return 0;
}

int init() {
  if (initLog(false) != 0) return -1;
  if (!loadCipherClass("HIGH", "/bin/cipher_high", CIPHER_SUITES_HIGH)) return -1;
  if (!loadCipherClass("MEDIUM", "/bin/cipher_medium", CIPHER_SUITES_MEDIUM)) return -1;
  return init_policy_load_flag() != 0 ? -1 : 0;
}

bool lookUpServiceAccount(KELP::ServiceAccount& account) {
  std::string problem;
  if (KELP::lookupServiceAccount(KELP::kServiceAccount, account, problem)) return true;
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "%s: the pool must run as it (kelp-account.sh creates it), keelgate exit",
                        problem.c_str());
  return false;
}

void warnOfReadableDatabaseLogin() {
  std::string path = g_kelp_home + "/config/odbc.ini";
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "configuration [%s] is readable by every user and holds the database password: "
                          "make it mode 0640, owner root, group %s",
                          path.c_str(), KELP::kServiceAccount);
}

namespace {

void handOver(const KELP::ServiceAccount& account, const std::string& path, bool mayBeMissing) {
  if (KELP::handToServiceAccount(account, path) || (mayBeMissing && errno == ENOENT)) return;
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "cannot hand [%s] to the account [%s]: %s", path.c_str(),
                        account.name.c_str(), strerror(errno));
}

// The name of the user this process runs as, or its number.
std::string userName() {
  struct passwd* pw = getpwuid(getuid());
  return pw != nullptr ? pw->pw_name : std::to_string(getuid());
}

// After the drop: the workers create, remove and reopen their files in bin/
// and log/, so both must be theirs to write.
bool canWrite(const std::string& dir) {
  if (access(dir.c_str(), W_OK | X_OK) == 0) return true;
  KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                        "[%s] is not writable by user [%s] (%s): lay the installation down with install.sh, "
                        "keelgate exit",
                        dir.c_str(), userName().c_str(), strerror(errno));
  return false;
}

}  // namespace

void handOverToServiceAccount(const KELP::ServiceAccount& account) {
  auto* file = dynamic_cast<KELP::LogFileSink*>(g_logmsg);
  if (file != nullptr) handOver(account, file->path(), false);
  handOver(account, g_kelp_home + "/bin/keelgate.pid", false);
  for (int i = 0; i < kWorkerCount; ++i) handOver(account, flagFilePath(i), true);
  handOver(account, g_kelp_home + "/bin/keelgate.counters", true);
}

bool dropPrivileges(const KELP::ServiceAccount& account) {
  bool root = geteuid() == 0;
  std::string problem;
  if (!KELP::dropToServiceAccount(account, problem)) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "cannot run as the account [%s]: %s, keelgate exit", account.name.c_str(),
                          problem.c_str());
    return false;
  }
  if (root)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "the pool runs as the account [%s] (uid %u, gid %u)",
                          account.name.c_str(), static_cast<unsigned>(account.uid),
                          static_cast<unsigned>(account.gid));
  else
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "the pool runs as user [%s] (uid %u): not started by root, no change of user",
                          userName().c_str(), static_cast<unsigned>(getuid()));
  return canWrite(g_kelp_home + "/bin") && canWrite(g_kelp_home + "/log");
}
