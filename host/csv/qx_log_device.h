// Devices of the log-writer library: where the entries of a qx_LOG_LogWriter
// go. The one kind built here is the CSV text log, a qx_LOG_CSVTextLog (which
// is also a qx_LOG_TextLog and a qx_LOG_LogDevice) over a RotatingCsvFile.
//
// Rows: one line per entry, the values of the columns that SetCSVOutput named
// for the entry's type, joined by the separator, each made safe by QuoteField
// (one value can never end a row or a field); an attribute the entry lacks
// gives an empty field. Entries
// of a type without columns are not written. The header line holds the column
// names of the last SetCSVOutput call.
//
// A device is set up by one thread before use; writes reach it through the
// writer, which serialises them.
#ifndef KEELGATE_HOST_CSV_QX_LOG_DEVICE_H
#define KEELGATE_HOST_CSV_QX_LOG_DEVICE_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/csv/qx_log_entry.h"
#include "host/csv/rotating_csv_file.h"

class qx_LOG_CSVTextLog;
class qx_LOG_LogWriter;

// Event callback: (entry type, 0, 0, entry, user data); false skips the entry.
typedef bool (*qx_LOG_EventCallback)(unsigned, unsigned, unsigned, qx_LOG_LogEntry&, void*);

class qx_LOG_LogDevice {
 public:
  virtual ~qx_LOG_LogDevice() {}

  // A CSV device writing <dir>/<prefix>.csv with `separator` between fields,
  // and the header line when `withHeader`. The two strings and the last bool
  // are the gateway's own parameters and select nothing here. Returns null
  // when `dir` is not a directory this process can write in.
  static qx_LOG_CSVTextLog* GetCSVTextLog(const std::string& dir, const std::string& prefix,
                                          bool withHeader, char separator, const char*,
                                          const char*, bool);
  // Detaches the device from every writer and deletes it; null is ignored.
  static void ReleaseLog(qx_LOG_LogDevice* device);

  void SetCallback(qx_LOG_EventCallback callback, void* userData);

  // Writes the entry unless the callback refuses it; throws qx_EXCEPTION_base
  // when it cannot be written.
  void Write(qx_LOG_LogEntry& entry);

 protected:
  virtual void WriteRecord(const qx_LOG_LogEntry& entry) = 0;

 private:
  friend class qx_LOG_LogWriter;
  qx_LOG_EventCallback callback_ = nullptr;
  void* userData_ = nullptr;
  std::vector<qx_LOG_LogWriter*> writers_;  // guarded by the writers' mutex
};

class qx_LOG_TextLog : public qx_LOG_LogDevice {
 public:
  // Mode -1 means 0640; the user and group own every file this device creates.
  void SetPermission(int mode, uid_t uid, gid_t gid);
  // Bytes a file may reach before it is rotated; 0 or less: never.
  void SetRotationBySize(long bytes);

  const std::string& Path() const { return file_.path(); }

 protected:
  qx_LOG_TextLog(const std::string& dir, const std::string& prefix);
  KELP::RotatingCsvFile file_;
};

class qx_LOG_CSVTextLog : public qx_LOG_TextLog {
 public:
  qx_LOG_CSVTextLog(const std::string& dir, const std::string& prefix, bool withHeader,
                    char separator);
  // Columns of entries of `entryType`: attribute names separated by commas.
  void SetCSVOutput(unsigned entryType, const std::string& columns);

  // One field as it appears in a row: control bytes replaced by '?', a
  // leading '=', '+', '-' or '@' preceded by a single quote (so that no
  // spreadsheet runs it as a formula), and in double quotes, inner quotes
  // doubled, when it holds the separator or a double quote.
  static std::string QuoteField(const std::string& value, char separator);

 protected:
  void WriteRecord(const qx_LOG_LogEntry& entry) override;

 private:
  std::string joinFields(const std::vector<std::string>& fields) const;

  const bool withHeader_;
  const char separator_;
  std::map<unsigned, std::vector<std::string>> columns_;
};

#endif
