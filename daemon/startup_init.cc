#include "daemon/startup_init.h"

#include <stdio.h>
#include <stdlib.h>
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
