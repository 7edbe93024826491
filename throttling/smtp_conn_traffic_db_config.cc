// SmtpConnTrafficList's database settings: read from the gateway's odbc.ini
// at every init, on the accepting thread. The connection itself is opened
// only by the persistence operations.

#include "host/config_file_on_disk.h"
#include "host/install_dir.h"
#include "host/log.h"
#include "throttling/smtp_conn_traffic_list.h"

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
  // The password is logged in clear, as the gateway's operators expect.
  KELP::Log::LogByLevel(KELP::LOG_DIAGNOSTIC,
                        "dump db configuration:dbname[%s],username[%s],password[%s]",
                        db_.dataSourceName.c_str(), db_.userName.c_str(), db_.password.c_str());
}
