// The worker's list of blocked client IPs and senders, and its CSV log.
//
// The throttling decision records every rejection here (accepting thread); the
// blocked-log thread writes all items as rows of the CSV log once the record
// interval has passed, and the worker writes them one last time when it stops
// (on its own thread, never inside a signal handler). Repeated blocks of one
// IP or sender fold into one item with a count (see ConnBlockedItem).
//
// Locking: mutex_ guards the items and settings and is held only for short
// steps, so recording a block never waits for the disk. log() takes the items
// out under it, writes them without it, and puts back what could not be
// written (merged with blocks recorded meanwhile: earliest time, summed
// counts). Writes are serialised by writeMu_, taken before mutex_: a stop's
// final log() waits for a write in flight on the blocked-log thread and then
// writes whatever that one put back, so no row is lost in between. The CSV
// device, its writer and the set-up flag are per process and guarded by one
// process-wide mutex, taken after writeMu_ and before mutex_.
//
// Failures: log() returns -1 and keeps every item that was not written, both
// when the device cannot be set up (tried again on the next log()) and when a
// row cannot be written (disk full, I/O error: that row is named in a level 1
// line and it and the rows after it wait for the next log()).
//
// Bound: at most maxItems() items wait (a flood of blocks from ever new
// addresses must not grow a worker without bound); a block of a new item past
// it is not recorded and is counted instead.
#ifndef KEELGATE_THROTTLING_SMTP_CONN_BLOCKED_LIST_H
#define KEELGATE_THROTTLING_SMTP_CONN_BLOCKED_LIST_H

#include <stddef.h>

#include <map>
#include <mutex>
#include <string>

#include "host/csv/qx_log.h"
#include "throttling/conn_blocked_item.h"
#include "throttling/key_cap.h"
#include "throttling/smtp_conn_base_obj.h"

class SmtpConnBlockedList : public SmtpConnBaseObj {
 public:
  SmtpConnBlockedList();
  SmtpConnBlockedList(int recordInterval, std::string logPath, std::string logPrefix,
                      int logRotateSize, std::string ldfFile, std::string logLevel);
  // Discards the items unwritten; releases the process's CSV device if set.
  ~SmtpConnBlockedList() override;

  // Stores the settings and returns initLog(false). The device keeps the
  // settings it was set up with: new ones take effect in a new process.
  int init(int recordInterval, std::string logPath, std::string logPrefix, int logRotateSize,
           std::string ldfFile, std::string logLevel);
  // Sets the process log threshold from the level word; returns 0.
  int initLog(bool reinit);

  // True when the clock is at or past the deadline (always, before the first
  // resetTimeout).
  bool hasTimeout();
  // Deadline := now + record interval (300 s when the interval is 0).
  void resetTimeout();

  // Records one block; type 1 for a client IP, 2 for a sender.
  void recordBlockedConn(std::string ip, std::string sender, int type);
  // Writes every item as a CSV row and empties the list: 0 on success, -1
  // when the device cannot be set up or a row cannot be written.
  int log();

  // Number of items waiting to be written.
  size_t size() const;
  void setMaxItems(size_t items);
  size_t maxItems() const;
  // Blocks of new items not recorded at the cap since the last call.
  unsigned long long takeDroppedItems();

  // The device's event callback: lets through entries of type 8 only.
  static bool smtpConnevtcallback_func(unsigned entryType, unsigned, unsigned,
                                       qx_LOG_LogEntry& entry, void* userData);

  static qx_LOG_LogDevice* p_conn_blocked_log;  // guarded by the device mutex
  static qx_LOG_LogWriter writer;

  // Tests only: release the device and forget the set-up, as at start.
  static void resetDeviceForTest();
  // Tests only: the system account that owns the CSV files ("kelp").
  static void setOwnerAccountForTest(const std::string& account);

 private:
  int setUpDevice();
  static void releaseDevice();

  typedef std::map<ConnBlockedItem, int> ItemMap;
  // Writes `items` as rows; the rows not written are left in `items`.
  int writeRows(ItemMap& items);
  void putBack(ItemMap& unwritten);

  std::mutex writeMu_;        // one log() at a time; taken before mutex_
  mutable std::mutex mutex_;  // guards everything below
  ItemMap blockedItems;
  KeyCap cap_;
  int recordDeadline;
  std::string logPath;
  std::string logPrefix;
  int logRotateSize;
  std::string ldfFile;
  std::string logLevel;
  int recordInterval;
};

#endif
