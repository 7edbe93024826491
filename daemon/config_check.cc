#include "daemon/config_check.h"

#include <errno.h>
#include <string.h>

#include "daemon/request_timeout.h"
#include "host/config/config_file_on_disk.h"
#include "host/lists/smtp_conn_settings.h"
#include "host/lists/throttling_lists.h"
#include "host/log/log.h"
#include "host/tls/tls_policy_config.h"

using KELP::Log;
using KELP::LOG_NORMAL;

namespace {

bool checkKelpIni(const std::string& home) {
  std::string path = home + "/config/kelp.ini";
  KELP::ConfigFileOnDisk ini(path.c_str());
  if (!ini.loaded) {
    Log::LogByLevel(LOG_NORMAL, "configuration [%s]: cannot read it (%s)", path.c_str(), strerror(ini.readError()));
    return false;
  }
  ini.logProblems();
  KELP::SmtpConnSettings settings;
  bool ok = KELP::readSmtpConnSettings(ini, home, settings) && ini.problems().empty();
  std::string text;
  int seconds;
  if (ini.getparam("keelgate", "request_timeout", text) && !parseRequestTimeout(text, seconds)) {
    Log::LogByLevel(LOG_NORMAL, "configuration [%s] section [keelgate]: bad value [%.64s] for key [request_timeout], "
                    "expected whole seconds from 0 to 3600", path.c_str(), text.c_str());
    ok = false;
  }
  return ok;
}

}  // namespace

bool checkConfiguration(const std::string& home) {
  bool ok = checkKelpIni(home);
  TLSPolicyConfig tls(TLS_POLICY_INBOUND, home);
  return tls.init() && ok;
}

void checkThrottlingLists(const std::string& home) {
  KELP::ListImageBuilder discarded;
  for (int i = 0; i < KELP::kThrottlingListCount; ++i) {
    auto kind = static_cast<KELP::ThrottlingListKind>(i);
    std::string path = home + "/config/throttling/" + KELP::throttlingListFile(kind);
    std::string text;
    if (KELP::readWholeFile(path, text))
      KELP::parseThrottlingList(kind, path, text, discarded);
    else if (errno != ENOENT)
      Log::LogByLevel(LOG_NORMAL, "throttling list [%s]: cannot read it (%s)", path.c_str(), strerror(errno));
  }
}
