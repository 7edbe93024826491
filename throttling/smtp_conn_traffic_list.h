// The worker's traffic list: counts the traffic observations of a child
// scanner per client IP or sender until the traffic-log thread reports them
// to the parent's SMTP agent, and carries the settings of the database store.
//
// Threads: the accepting thread calls init, createTrafficLog and
// recordTrafficConn; the traffic-log thread calls the raw...Empty tests and
// the reports. The raw maps are the only data both touch and are guarded by
// mutex_. A report drains its map under the lock and talks to the network
// outside it, so recording never waits for the parent agent.
#ifndef KEELGATE_THROTTLING_SMTP_CONN_TRAFFIC_LIST_H
#define KEELGATE_THROTTLING_SMTP_CONN_TRAFFIC_LIST_H

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/log/log.h"
#include "host/db/qx_db_connection.h"
#include "throttling/conn_traffic_item.h"
#include "throttling/key_cap.h"
#include "throttling/smtp_conn_base_obj.h"

class SmtpConnTrafficList : public SmtpConnBaseObj {
 public:
  typedef std::map<RawConnTrafficItem, int> RawTrafficMap;
  typedef std::map<ConnTrafficItem, int> TrafficMap;

  // Settings of the gateway database, from odbc.ini.
  struct DbSettings {
    std::string dataSourceName = "KELP";
    std::string databaseName = "kelp";
    std::string userName = "sa";
    std::string password;
  };

  SmtpConnTrafficList();
  // Stores the settings as init does (without reading odbc.ini) and sets the
  // process log threshold from logLevel.
  SmtpConnTrafficList(int ipBaseSendInterval, int senderBaseSendInterval, std::string logPath,
                      std::string logPrefix, int logRotateSize, std::string ldfFile,
                      std::string logLevel);
  ~SmtpConnTrafficList() override;
  SmtpConnTrafficList(const SmtpConnTrafficList&) = delete;
  SmtpConnTrafficList& operator=(const SmtpConnTrafficList&) = delete;

  // Worker start and reload: stores the settings, reads odbc.ini and sets the
  // process log threshold. The raw maps keep their counts. Returns 0.
  int init(int ipBaseSendInterval, int senderBaseSendInterval, std::string logPath,
           std::string logPrefix, int logRotateSize, std::string ldfFile, std::string logLevel);
  // Sets the whole process's log threshold from logLevel. Returns 0.
  int initLog(bool reinit);
  // Reads <home>/config/odbc.ini, keeping the defaults for what is missing.
  void initDBConfig();
  // Installation directory for initDBConfig; empty means $KELP_HOME, then
  // "/opt/corvo/kelp".
  void setHome(const std::string& home) { home_ = home; }
  const DbSettings& dbSettings() const { return db_; }

  // Fills one observation stamped with the current time; item.count is kept.
  void createTrafficLog(const std::string& ip, const std::string& sender, int type, int scannerId,
                        RawConnTrafficItem& item);
  // Counts one observation in the raw map of its type (1, 2, 3); another type
  // is logged and dropped. Counts stop at INT_MAX. A map holds at most
  // maxKeys() keys: past it an observation of a new key is dropped and
  // counted (the counts are kept while the parent's database is down, and for
  // ever without one, so an SMTP client's choice of senders must not grow
  // them without bound).
  void recordTrafficConn(RawConnTrafficItem& item);
  void setMaxKeys(size_t keys);
  size_t maxKeys() const;
  // Observations of new keys dropped at the cap since the last call.
  unsigned long long takeDroppedKeys();
  bool rawIPBaseConnEmpty() const;
  bool rawIPBaseMsgEmpty() const;
  bool rawSenderBaseEmpty() const;
  // A copy of the raw map of a type (empty for another type).
  RawTrafficMap rawTraffic(int type) const;

  // Report deadlines: due at or past the deadline; a reset puts the deadline
  // one send interval (300 s when that is 0) after now.
  bool ipBaseHasTimeout() const;
  bool senderBaseHasTimeout() const;
  void ipBaseResetTimeout();
  void senderBaseResetTimeout();

  // Reports one raw map to the parent's agent, one line per entry, and leaves
  // it empty whatever the outcome; failures are only logged. See
  // smtp_conn_traffic_report.cc.
  void sendIPBaseConnTrafficToParent(std::string parentIP, int port);
  void sendIPBaseMsgTrafficToParent(std::string parentIP, int port);
  void sendSenderBaseTrafficToParent(std::string parentIP, int port);
  // Sends one observation to the local agent over a connection of its own.
  void sendTrafficToSelf(std::string host, int port, RawConnTrafficItem& item);

  // ---- Database store: the gateway database through the shared connection.
  // Not called by the daemon's request path; one thread at a time. Each
  // operation pairs one connectDB with one disconnectDB on every path.

  // Opens the shared connection unless it is connected and counts one more
  // user. 0 when connected; -1, after "Database connect error! End connect
  // DB", when the connection cannot be made (the process goes on: the
  // operation fails). Either way one disconnectDB pairs it.
  int connectDB();
  // Counts one user less and disconnects when none is left; an unbalanced
  // call is logged and the count put back to 0. The connection object stays.
  void disconnectDB();
  // scanner_id of [kelp_manager] in <home>/config/kelp.ini (1 when missing),
  // or -1 when the file cannot be used.
  int getScannerID();

  // Every value below reaches the database as a bound parameter, never as
  // part of a statement text. Each operation reports a failure of any of its
  // statements; several of them are all or nothing only inside a transaction
  // of the shared connection (dbConnection()->beginTransaction() while a
  // connectDB holds it open).

  // Traffic rows (smtp_conn_traffic_db.cc). Type 1, 2, 3 as the maps.
  // dump: deletes the stored rows of `type` and, withInsert, inserts the map
  // of `type`; false when the delete or any insert failed (the other rows
  // are still inserted). load: adds the stored rows to the maps; false when
  // the select or the reading of a row failed (rows read before stay).
  // release: deletes the rows of one IP (types 1, 2) or sender; false when
  // the delete failed.
  bool dumpMemoryTrafficLogToDB(bool withInsert, int type);
  bool getTrafficLogFromDB(bool allScanners, int type, const std::vector<std::string>& excluded);
  bool releaseDropTrafficList(const int& type, const std::string& key);

  // Blocked items and the version number (smtp_conn_blocked_db.cc). Times
  // are seconds since the epoch, 64 bits wide.
  // insert: true when the block is stored and, for an item not stored
  // before, its event written; false when the existence check, the store or
  // that event failed (nothing is stored after a failed check).
  bool insertBlockedToDB(std::string ip, std::string sender, int type, int64_t blockStartTime,
                         int64_t expiration);
  // True when at least one expired item was read (and announced); false
  // when none was or the select failed.
  bool isAnyBlockExpire();
  bool releaseDropBlockList();
  bool updateVersionNumber();
  // The stored version; 0 when it cannot be read.
  int getVersionNumber();

  // System events (smtp_conn_system_event.cc). withAdmin 1 names "admin".
  // False when the event was not written.
  bool WriteSysEvtToDB(int eventId, const std::string& description, int withAdmin);
  // `out` is `data` itself when it is null or has no single quote, else
  // `buffer`'s copy with every quote doubled (keep `buffer` while using out).
  // For a text that must stand between quotes in a statement; the store's
  // own statements bind their values instead.
  static void escapeData(const char* data, std::string& buffer, const char*& out);

  // The aggregated map of a type (1, 2, 3), or null, for filling and reading.
  TrafficMap* aggregatedTraffic(int type);
  const TrafficMap* aggregatedTraffic(int type) const;
  // The shared connection (null before the first connectDB) and its users.
  KELP::QxDBConnection* dbConnection() const { return connection_.get(); }
  int dbConnectionUsers() const { return connectionUsers_; }

 private:
  // The one report algorithm behind the three sendXToParent.
  void sendToParent(int type, const std::string& parentIP, int port);
  RawTrafficMap* rawMapOf(int type);
  const RawTrafficMap* rawMapOf(int type) const;
  bool rawEmpty(int type) const;
  void storeSettings(int ipBaseSendInterval, int senderBaseSendInterval, std::string logPath,
                     std::string logPrefix, int logRotateSize, std::string ldfFile,
                     std::string logLevel);

  // Set by init / the constructors on the accepting thread.
  std::string logPath_, logPrefix_;
  int logRotateSize_ = 0;
  std::string ldfFile_, logLevel_;
  int ipBaseSendInterval_ = 0, senderBaseSendInterval_ = 0;
  // Accepting thread only (nothing else calls the deadline operations).
  int ipBaseDeadline_ = 0, senderBaseDeadline_ = 0;
  DbSettings db_;
  std::string home_;
  KELP::LogMsg* logMsg_ = nullptr;  // stays null: the process sink is kept

  // Aggregated rows of the database store.
  TrafficMap ipBaseConnTraffic_, ipBaseMsgTraffic_, senderBaseTraffic_;
  // The shared database connection, created by the first connectDB, and the
  // number of connectDB calls not yet matched by disconnectDB.
  std::unique_ptr<KELP::QxDBConnection> connection_;
  int connectionUsers_ = 0;

  mutable std::mutex mutex_;
  // Guarded by mutex_: observations folded since the last report, the cap on
  // each map's keys and the observations dropped at it.
  RawTrafficMap rawIPBaseConn_, rawIPBaseMsg_, rawSenderBase_;
  KeyCap cap_;  // per map
};

#endif
