#include "daemon/scanner_identity.h"

#include <limits.h>
#include <stdlib.h>

#include "daemon/globals.h"
#include "host/config/config_file_on_disk.h"
#include "host/config/install_dir.h"
#include "host/config/role.h"

int decimalPrefix(const std::string& text) {
  long value = strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int check_parent(bool* isParent) {
  if (isParent == nullptr) return -1;
  *isParent = isMaster();
  return 0;
}

void getScannerId() {
  std::string text;
  if (g_cfg_kelp_onmem == nullptr ||
      g_cfg_kelp_onmem->getValue("scanner_id", text, "kelp_manager", "kelp.ini") != 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "Get global setting 'scanner_id' in section 'kelp_manager', inifile 'kelp.ini' failed.");
    return;
  }
  int id = decimalPrefix(text);
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "scanner id of this machine is %d", id);
  if (id >= 1)
    scannerID = id;
  else
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "Invalid scanner id %d", id);
}

bool getParentIPandPort() {
  std::string home = KELP::installDir("");
  KELP::ConfigFileOnDisk slave((home + "/config/slave.nfo").c_str());
  if (!slave.loaded) return false;
  parentIP.clear();
  if (!slave.getparam("master", "master_ip", parentIP)) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "can't get parent ip from /config/slave.nfo");
    return false;
  }
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "get parent ip:%s from /config/slave.nfo", parentIP.c_str());
  KELP::ConfigFileOnDisk kelp((home + "/config/kelp.ini").c_str());
  if (!kelp.loaded) return false;
  parentPort = 10040;
  std::string port;
  if (kelp.getparam("smtp_traffic_throttling", "smtp_agent_port", port)) {
    int value = decimalPrefix(port);
    if (value >= 1)
      parentPort = value;
    else
      KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                            "can't get parent SMTP agent port from /config/kelp.ini, use default port 10040");
  }
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "get parent SMTP agent port :%d from /config/kelp.ini", parentPort);
  return true;
}
