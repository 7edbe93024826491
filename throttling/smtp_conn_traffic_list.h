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

#include <map>
#include <mutex>
#include <string>

#include "host/log.h"
#include "throttling/conn_traffic_item.h"
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
  ~SmtpConnTrafficList() override {}
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
  void createTrafficLog(std::string ip, std::string sender, int type, int scannerId,
                        RawConnTrafficItem& item);
  // Counts one observation in the raw map of its type (1, 2, 3); another type
  // is logged and dropped. Counts stop at INT_MAX.
  void recordTrafficConn(RawConnTrafficItem& item);
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

  mutable std::mutex mutex_;
  // Guarded by mutex_: observations folded since the last report.
  RawTrafficMap rawIPBaseConn_, rawIPBaseMsg_, rawSenderBase_;
};

#endif
