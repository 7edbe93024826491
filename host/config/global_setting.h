// Gateway-wide settings read from config/kelp.ini. One settings object per ini
// path and process; Instance() re-reads the file on every call, so a reload
// sees the file as it is now. Reads and re-reads are serialised by the object,
// so any thread may read while the accepting thread reloads.
#ifndef KEELGATE_HOST_CONFIG_GLOBAL_SETTING_H
#define KEELGATE_HOST_CONFIG_GLOBAL_SETTING_H

#include <memory>
#include <mutex>
#include <string>

namespace KELP {

class ConfigFileOnDisk;

class GlobalSetting {
 public:
  virtual ~GlobalSetting() {}
  // Reads one value: key, result, section, ini file name (null or the file's
  // own name for kelp.ini; another name is read from the same config
  // directory). Returns 0 when the key was found.
  virtual int getValue(const char* key, std::string& value, const char* section,
                       const char* iniFile) = 0;
  // True when the ini file was read.
  virtual bool isReady() const = 0;
  // The installation directory the ini file belongs to.
  virtual std::string home() const = 0;
};

class GlobalSettingOnMem : public GlobalSetting {
 public:
  // Returns the settings of `iniPath` (read anew), or null when iniPath is null.
  // The other arguments are the gateway's own and select nothing here.
  static GlobalSetting* Instance(const char* iniPath, bool, const char*, const char*, const char*,
                                 const char*, bool);

  int getValue(const char* key, std::string& value, const char* section,
               const char* iniFile) override;
  bool isReady() const override;
  std::string home() const override { return home_; }

 private:
  explicit GlobalSettingOnMem(const std::string& iniPath);
  void load();

  const std::string ini_path_;
  const std::string home_;
  mutable std::mutex mu_;
  std::shared_ptr<const ConfigFileOnDisk> file_;  // guarded by mu_
};

// The installation directory of a file at <home>/config/<name>.
std::string homeOfConfigFile(const std::string& path);

}  // namespace KELP

#endif
