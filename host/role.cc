#include "host/role.h"

#include <stdlib.h>
#include <strings.h>

#include "host/config_file_on_disk.h"
#include "host/log.h"

namespace KELP {
std::string installationDirectory() {
  const char* home = getenv("KELP_HOME");
  if (home == nullptr || *home == '\0') return "/opt/corvo/kelp";
  return home;
}
}  // namespace KELP

bool isMaster() { return isMaster(KELP::installationDirectory()); }

bool isMaster(const std::string& home) {
  std::string path = home + "/config/kelp.ini";
  KELP::ConfigFileOnDisk ini(path.c_str());
  std::string role;
  if (!ini.loaded || !ini.getparam("kelp_manager", "role", role)) return true;
  if (strcasecmp(role.c_str(), "child") == 0) return false;
  if (strcasecmp(role.c_str(), "parent") != 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "unknown role [%.64s] in [%s] section [kelp_manager], taken as parent",
                          role.c_str(), path.c_str());
  return true;
}
