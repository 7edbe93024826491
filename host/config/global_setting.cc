#include "host/config/global_setting.h"

#include <map>

#include "host/config/config_file_on_disk.h"

namespace KELP {

std::string homeOfConfigFile(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  std::string dir = path.substr(0, slash);
  const std::string config = "/config";
  if (dir.size() >= config.size() && dir.compare(dir.size() - config.size(), config.size(), config) == 0)
    return dir.substr(0, dir.size() - config.size());
  if (dir == "config") return ".";
  return dir;
}

GlobalSettingOnMem::GlobalSettingOnMem(const std::string& iniPath)
    : ini_path_(iniPath), home_(homeOfConfigFile(iniPath)) {}

GlobalSetting* GlobalSettingOnMem::Instance(const char* iniPath, bool, const char*, const char*,
                                            const char*, const char*, bool) {
  if (iniPath == nullptr) return nullptr;
  static std::mutex mu;
  // Never destroyed, like the settings it holds: they live for the process.
  static auto* instances = new std::map<std::string, GlobalSettingOnMem*>;
  GlobalSettingOnMem* settings;
  {
    std::lock_guard<std::mutex> lock(mu);
    GlobalSettingOnMem*& slot = (*instances)[iniPath];
    if (slot == nullptr) slot = new GlobalSettingOnMem(iniPath);
    settings = slot;
  }
  settings->load();
  return settings;
}

void GlobalSettingOnMem::load() {
  auto fresh = std::make_shared<const ConfigFileOnDisk>(ini_path_.c_str());
  std::lock_guard<std::mutex> lock(mu_);
  file_ = fresh;
}

bool GlobalSettingOnMem::isReady() const {
  std::lock_guard<std::mutex> lock(mu_);
  return file_ && file_->loaded;
}

int GlobalSettingOnMem::getValue(const char* key, std::string& value, const char* section,
                                 const char* iniFile) {
  if (key == nullptr || section == nullptr) return -1;
  std::shared_ptr<const ConfigFileOnDisk> file;
  {
    std::lock_guard<std::mutex> lock(mu_);
    file = file_;
  }
  std::string own = ini_path_.substr(ini_path_.rfind('/') + 1);
  if (iniFile != nullptr && own != iniFile)
    file = std::make_shared<const ConfigFileOnDisk>((home_ + "/config/" + iniFile).c_str());
  if (!file || !file->loaded) return -1;
  return file->getparam(section, key, value) ? 0 : -1;
}

}  // namespace KELP
