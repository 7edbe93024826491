// One entry of the log-writer library: an entry type and a set of named
// attribute values. Setting an attribute the entry already holds replaces its
// value, so one entry can carry successive rows. An entry belongs to the
// thread that fills it; it has no lock of its own.
#ifndef KEELGATE_HOST_CSV_QX_LOG_ENTRY_H
#define KEELGATE_HOST_CSV_QX_LOG_ENTRY_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

class qx_LOG_LogEntry {
 public:
  // `flags` is the library's own parameter and selects nothing here.
  qx_LOG_LogEntry(unsigned entryType, int flags);

  unsigned EntryType() const { return entryType_; }

  // Declares an attribute of an entry type (see qx_LOG_LogConfig).
  static void AddAttributeDefinition(unsigned entryType, const std::string& name, int typeCode);

  void AddAttribStr(const std::string& name, const std::string& value);
  void AddAttrib4u(const std::string& name, uint32_t value);

  // The value of an attribute; false when the entry does not hold it.
  bool GetAttrib(const std::string& name, std::string& value) const;

 private:
  void set(const std::string& name, std::string value);

  unsigned entryType_;
  // Few attributes per entry: a vector in insertion order beats a map here.
  std::vector<std::pair<std::string, std::string>> attribs_;
};

#endif
