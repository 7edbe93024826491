#include "host/config/install_dir.h"

#include <stdlib.h>

namespace KELP {

std::string installDir(const std::string& given) {
  std::string home = given;
  if (home.empty()) {
    const char* env = getenv("KELP_HOME");
    home = (env != nullptr && env[0] != '\0') ? env : "/opt/corvo/kelp";
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

std::string pathUnderInstallDir(const std::string& home, const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  if (home == "/") return "/" + path;
  return home + "/" + path;
}

}  // namespace KELP
