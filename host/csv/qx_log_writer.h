// The writer of the log-writer library: hands each entry to its devices.
//
// Error reporting: WriteEntry throws qx_EXCEPTION_base when a device cannot
// write the entry (disk full, I/O error); the entry is then in no file, and
// the devices after the failing one have not seen it. The caller decides what
// becomes of the entry.
//
// All writers and devices of a process share one mutex, held while an entry
// is written and while devices are attached or released, so a device is never
// released under a write. Writers and devices may be destroyed in any order.
#ifndef KEELGATE_HOST_CSV_QX_LOG_WRITER_H
#define KEELGATE_HOST_CSV_QX_LOG_WRITER_H

#include <vector>

#include "host/csv/qx_log_device.h"
#include "host/csv/qx_log_entry.h"

class qx_LOG_LogWriter {
 public:
  // `name` (null allowed) is the gateway's own parameter and selects nothing.
  explicit qx_LOG_LogWriter(const char* name);
  ~qx_LOG_LogWriter();
  qx_LOG_LogWriter(const qx_LOG_LogWriter&) = delete;
  qx_LOG_LogWriter& operator=(const qx_LOG_LogWriter&) = delete;

  // Adds a device; adding one that is already there does nothing.
  void AddLogDevice(qx_LOG_LogDevice* device);
  // Writes the entry to every device; throws qx_EXCEPTION_base on failure.
  void WriteEntry(qx_LOG_LogEntry& entry);

 private:
  friend class qx_LOG_LogDevice;
  std::vector<qx_LOG_LogDevice*> devices_;  // guarded by the library mutex
};

#endif
