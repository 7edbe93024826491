#include "host/config/qx_resbundle.h"

#include "host/config/config_file_on_disk.h"
#include "host/config/install_dir.h"

namespace KELP {

QxResbundle::QxResbundle(const std::string& home) : home_(installDir(home)) {}

QxResbundle::~QxResbundle() {}

std::string QxResbundle::GetResourceFileName() const { return home_ + "/config/resource.ini"; }

int QxResbundle::_init(const std::string& file, const char* section, const char*) {
  section_ = section != nullptr ? section : "";
  file_.reset(new ConfigFileOnDisk(file.c_str()));
  return file_->loaded ? 0 : -1;
}

int QxResbundle::getString(const char* key, std::string& text) const {
  text.clear();
  if (!file_ || !file_->loaded || key == nullptr) return -1;
  return file_->getparam(section_.c_str(), key, text) ? 0 : -1;
}

}  // namespace KELP
