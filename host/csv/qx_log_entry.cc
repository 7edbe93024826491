#include "host/csv/qx_log_entry.h"

#include "host/csv/qx_log_config.h"

qx_LOG_LogEntry::qx_LOG_LogEntry(unsigned entryType, int) : entryType_(entryType) {}

void qx_LOG_LogEntry::AddAttributeDefinition(unsigned entryType, const std::string& name,
                                             int typeCode) {
  qx_LOG_LogConfig::AddDefinition(entryType, name, typeCode);
}

void qx_LOG_LogEntry::AddAttribStr(const std::string& name, const std::string& value) {
  set(name, value);
}

void qx_LOG_LogEntry::AddAttrib4u(const std::string& name, uint32_t value) {
  set(name, std::to_string(value));
}

bool qx_LOG_LogEntry::GetAttrib(const std::string& name, std::string& value) const {
  for (const auto& attr : attribs_) {
    if (attr.first == name) {
      value = attr.second;
      return true;
    }
  }
  return false;
}

void qx_LOG_LogEntry::set(const std::string& name, std::string value) {
  for (auto& attr : attribs_) {
    if (attr.first == name) {
      attr.second = std::move(value);
      return;
    }
  }
  attribs_.emplace_back(name, std::move(value));
}
