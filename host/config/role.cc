#include "host/config/role.h"

#include <strings.h>

#include "host/config/config_file_on_disk.h"
#include "host/config/install_dir.h"
#include "host/log/log.h"

bool isMaster() { return isMaster(KELP::installDir("")); }

bool isMaster(const std::string& home) {
  std::string path = KELP::pathUnderInstallDir(home, "config/kelp.ini");
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
