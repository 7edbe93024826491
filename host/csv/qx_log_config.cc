#include "host/csv/qx_log_config.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Settings {
  std::mutex mu;  // guards everything below
  std::string definitionPath;
  int locale = 0;
  std::string codePage;
  int actionAttrLenExceed = 0;
  // Per entry type, the declared attributes in declaration order.
  std::map<unsigned, std::vector<std::pair<std::string, int>>> definitions;
};

// Never destroyed: devices may still be used while other statics are torn down.
Settings& settings() {
  static Settings* s = new Settings;
  return *s;
}

}  // namespace

void qx_LOG_LogConfig::SetDefinitionPath(std::string path) {
  std::lock_guard<std::mutex> lock(settings().mu);
  settings().definitionPath = std::move(path);
}

void qx_LOG_LogConfig::SetLocale(int locale) {
  std::lock_guard<std::mutex> lock(settings().mu);
  settings().locale = locale;
}

void qx_LOG_LogConfig::SetCodePage(std::string codePage) {
  std::lock_guard<std::mutex> lock(settings().mu);
  settings().codePage = std::move(codePage);
}

void qx_LOG_LogConfig::SetActionAttrLenExceed(int action) {
  std::lock_guard<std::mutex> lock(settings().mu);
  settings().actionAttrLenExceed = action;
}

std::string qx_LOG_LogConfig::DefinitionPath() {
  std::lock_guard<std::mutex> lock(settings().mu);
  return settings().definitionPath;
}

int qx_LOG_LogConfig::Locale() {
  std::lock_guard<std::mutex> lock(settings().mu);
  return settings().locale;
}

std::string qx_LOG_LogConfig::CodePage() {
  std::lock_guard<std::mutex> lock(settings().mu);
  return settings().codePage;
}

int qx_LOG_LogConfig::ActionAttrLenExceed() {
  std::lock_guard<std::mutex> lock(settings().mu);
  return settings().actionAttrLenExceed;
}

void qx_LOG_LogConfig::AddDefinition(unsigned entryType, const std::string& name, int typeCode) {
  std::lock_guard<std::mutex> lock(settings().mu);
  auto& attrs = settings().definitions[entryType];
  for (auto& attr : attrs) {
    if (attr.first == name) {
      attr.second = typeCode;
      return;
    }
  }
  attrs.emplace_back(name, typeCode);
}

size_t qx_LOG_LogConfig::DefinitionCount(unsigned entryType) {
  std::lock_guard<std::mutex> lock(settings().mu);
  auto it = settings().definitions.find(entryType);
  return it == settings().definitions.end() ? 0 : it->second.size();
}

void qx_LOG_LogConfig::ClearDefinitions() {
  std::lock_guard<std::mutex> lock(settings().mu);
  settings().definitions.clear();
}
