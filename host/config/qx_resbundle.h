// Texts of the gateway's system events, from <home>/config/resource.ini:
// one section per component ([SmtpTrafficThrottling]), "Key = text" lines.
// An absent file, section or key gives an empty text, which callers replace
// with their built-in wording. Each object belongs to one thread.
#ifndef KEELGATE_HOST_CONFIG_QX_RESBUNDLE_H
#define KEELGATE_HOST_CONFIG_QX_RESBUNDLE_H

#include <memory>
#include <string>

namespace KELP {

class ConfigFileOnDisk;

class QxResbundle {
 public:
  // `home` is the installation directory; "" means KELP_HOME, then
  // /opt/corvo/kelp.
  explicit QxResbundle(const std::string& home = "");
  ~QxResbundle();

  // <home>/config/resource.ini
  std::string GetResourceFileName() const;
  // Reads `file` and selects `section`; `locale` is accepted and selects
  // nothing. 0 when the file was read (a missing section is no error).
  int _init(const std::string& file, const char* section, const char* locale);
  // The text of `key` in the selected section, "" when there is none.
  // 0 when the key was found.
  int getString(const char* key, std::string& text) const;

 private:
  std::string home_;
  std::string section_;
  std::unique_ptr<ConfigFileOnDisk> file_;
};

}  // namespace KELP

#endif
