// SmtpConnTrafficList's way to the gateway database: the settings read from
// odbc.ini at every init (on the accepting thread), the shared connection
// that the persistence operations open and close by reference count, and the
// scanner id those operations store.

#include <stdlib.h>
#include <unistd.h>

#include "host/config/config_file_on_disk.h"
#include "host/config/global_setting.h"
#include "host/config/install_dir.h"
#include "host/log/log.h"
#include "throttling/smtp_conn_traffic_list.h"

using KELP::Log;

SmtpConnTrafficList::~SmtpConnTrafficList() {}

void SmtpConnTrafficList::initDBConfig() {
  std::string path = KELP::pathUnderInstallDir(KELP::installDir(home_), "config/odbc.ini");
  KELP::ConfigFileOnDisk file(path.c_str());
  DbSettings settings;  // the defaults stand for an unreadable file or a missing key
  if (file.loaded) {
    file.getparam("KELP", "UserName", settings.userName);
    file.getparam("KELP", "Password", settings.password);
    file.getparam("KELP", "Database", settings.databaseName);
  }
  db_ = settings;
  // The password never reaches the log: it shows as *** when one is set.
  Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "dump db configuration:dbname[%s],username[%s],password[%s]",
                  db_.dataSourceName.c_str(), db_.userName.c_str(), db_.password.empty() ? "" : "***");
}

int SmtpConnTrafficList::connectDB() {
  Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "before connect DB ");
  if (!connection_) {
    connection_.reset(new KELP::QxDBConnection(KELP::QxDBConnection::ODBC_VERSION_3, home_));
  }
  if (connection_->getState() != KELP::QxDBConnection::STATE_CONNECTED) {
    if (connection_->connect(db_.dataSourceName, db_.userName, db_.password, db_.databaseName, 30, 1, 10, 0) !=
        0) {
      connection_->disconnect();
      Log::LogByLevel(KELP::LOG_NORMAL, "Database connect error! End connect DB");
      // An outage to ride out, never an exit: the operation that asked fails
      // (its statements find no connection) and its caller tries again later.
      ++connectionUsers_;  // still paired by the caller's disconnectDB
      return -1;
    }
    Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "Database connect succeed! ");
  }
  ++connectionUsers_;
  Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "End connect DB ");
  return 0;
}

void SmtpConnTrafficList::disconnectDB() {
  if (connectionUsers_ > 0 && --connectionUsers_ > 0) return;
  if (connection_) {
    try {
      connection_->disconnect();
    } catch (...) {
      Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "Database disconnect error! ");
    }
  }
  if (connectionUsers_ < 0) {
    Log::LogByLevel(KELP::LOG_NORMAL, "db connection referen count error, currently is %d ", connectionUsers_);
    connectionUsers_ = 0;
  }
}

int SmtpConnTrafficList::getScannerID() {
  std::string path = KELP::installDir(home_) + "/config/kelp.ini";
  if (access(path.c_str(), F_OK) != 0) {
    Log::LogByLevel(KELP::LOG_NORMAL, "/config/kelp.ini doesn't exist. Exit now...");
    return -1;
  }
  KELP::GlobalSetting* settings =
      KELP::GlobalSettingOnMem::Instance(path.c_str(), true, nullptr, nullptr, nullptr, nullptr, true);
  if (settings == nullptr || !settings->isReady()) {
    Log::LogByLevel(KELP::LOG_NORMAL, "init GlobalSettingOnMem failed. Exit now...");
    return -1;
  }
  std::string value = "1";  // a missing key leaves it
  settings->getValue("scanner_id", value, "kelp_manager", nullptr);
  return static_cast<int>(strtol(value.c_str(), nullptr, 10));
}

SmtpConnTrafficList::TrafficMap* SmtpConnTrafficList::aggregatedTraffic(int type) {
  switch (type) {
    case 1: return &ipBaseConnTraffic_;
    case 2: return &ipBaseMsgTraffic_;
    case 3: return &senderBaseTraffic_;
    default: return nullptr;
  }
}

const SmtpConnTrafficList::TrafficMap* SmtpConnTrafficList::aggregatedTraffic(int type) const {
  return const_cast<SmtpConnTrafficList*>(this)->aggregatedTraffic(type);
}
