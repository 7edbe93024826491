#include "host/csv/qx_log_device.h"

#include <string.h>

#include <new>

#include "host/base/printable.h"

namespace {

// Splits "a, b,c" into its names, without blanks around them.
std::vector<std::string> splitColumns(const std::string& columns) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= columns.size()) {
    size_t comma = columns.find(',', start);
    if (comma == std::string::npos) comma = columns.size();
    size_t b = columns.find_first_not_of(" \t", start);
    size_t e = columns.find_last_not_of(" \t", comma == 0 ? 0 : comma - 1);
    if (b != std::string::npos && b < comma && e != std::string::npos && e >= b)
      names.push_back(columns.substr(b, e - b + 1));
    start = comma + 1;
  }
  return names;
}

}  // namespace

qx_LOG_CSVTextLog* qx_LOG_LogDevice::GetCSVTextLog(const std::string& dir,
                                                   const std::string& prefix, bool withHeader,
                                                   char separator, const char*, const char*,
                                                   bool) {
  if (prefix.empty() || !KELP::RotatingCsvFile::usableDirectory(dir)) return nullptr;
  return new (std::nothrow) qx_LOG_CSVTextLog(dir, prefix, withHeader, separator);
}

void qx_LOG_LogDevice::SetCallback(qx_LOG_EventCallback callback, void* userData) {
  callback_ = callback;
  userData_ = userData;
}

void qx_LOG_LogDevice::Write(qx_LOG_LogEntry& entry) {
  if (callback_ != nullptr && !callback_(entry.EntryType(), 0, 0, entry, userData_)) return;
  WriteRecord(entry);
}

qx_LOG_TextLog::qx_LOG_TextLog(const std::string& dir, const std::string& prefix)
    : file_(dir, prefix) {}

void qx_LOG_TextLog::SetPermission(int mode, uid_t uid, gid_t gid) {
  file_.setPermission(mode < 0 ? 0640 : static_cast<mode_t>(mode), uid, gid);
}

void qx_LOG_TextLog::SetRotationBySize(long bytes) { file_.setRotationSize(bytes); }

qx_LOG_CSVTextLog::qx_LOG_CSVTextLog(const std::string& dir, const std::string& prefix,
                                     bool withHeader, char separator)
    : qx_LOG_TextLog(dir, prefix), withHeader_(withHeader), separator_(separator) {}

void qx_LOG_CSVTextLog::SetCSVOutput(unsigned entryType, const std::string& columns) {
  std::vector<std::string> names = splitColumns(columns);
  if (withHeader_) file_.setHeader(joinFields(names));
  columns_[entryType] = std::move(names);
}

std::string qx_LOG_CSVTextLog::QuoteField(const std::string& value, char separator) {
  // Fields hold what SMTP clients chose: no byte of theirs may end the row or
  // the field, and a spreadsheet must not run a field as a formula.
  std::string field = KELP::printable(value);
  if (!field.empty() && strchr("=+-@", field[0]) != nullptr) field.insert(0, 1, '\'');
  if (field.find_first_of(std::string{separator, '"'}) == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

void qx_LOG_CSVTextLog::WriteRecord(const qx_LOG_LogEntry& entry) {
  auto it = columns_.find(entry.EntryType());
  if (it == columns_.end()) return;
  std::vector<std::string> values;
  values.reserve(it->second.size());
  for (const std::string& name : it->second) {
    std::string value;
    entry.GetAttrib(name, value);
    values.push_back(std::move(value));
  }
  file_.append(joinFields(values));
}

std::string qx_LOG_CSVTextLog::joinFields(const std::vector<std::string>& fields) const {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line.push_back(separator_);
    line += QuoteField(fields[i], separator_);
  }
  line.push_back('\n');
  return line;
}
