// Where the installation directory is and how paths from the settings are
// taken under it. Host classes get the directory as an argument; this turns
// an empty argument into the process's KELP_HOME, so that only the daemon's
// own objects ever look at the environment. Safe for any thread.
#ifndef KEELGATE_HOST_CONFIG_INSTALL_DIR_H
#define KEELGATE_HOST_CONFIG_INSTALL_DIR_H

#include <string>

namespace KELP {

// `given` when it is not empty, else the environment's KELP_HOME, else
// /opt/corvo/kelp. Trailing slashes are dropped ("/" stays "/").
std::string installDir(const std::string& given);

// `path` when it is absolute, else `path` taken under `home`.
std::string pathUnderInstallDir(const std::string& home, const std::string& path);

}  // namespace KELP

#endif
