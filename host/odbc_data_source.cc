#include "host/odbc_data_source.h"

#include "host/config_file_on_disk.h"
#include "host/log.h"

namespace KELP {

const char kOdbcDataSourceName[] = "KELP";

namespace {

bool parsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = value;
  return true;
}

}  // namespace

bool readOdbcDataSource(const std::string& home, OdbcDataSource& source) {
  std::string path = home + "/config/odbc.ini";
  ConfigFileOnDisk ini(path.c_str());
  const char* dsn = kOdbcDataSourceName;
  if (!ini.loaded || !ini.getparam(dsn, "Driver", source.driver) || source.driver.empty()) {
    Log::LogByLevel(LOG_DEBUG, "odbc data source [%s] in [%s]: no database configured", dsn,
                    path.c_str());
    return false;
  }
  if (!ini.getparam(dsn, "Servername", source.servername))
    ini.getparam(dsn, "Server", source.servername);
  if (source.servername.empty()) source.servername = "127.0.0.1";
  std::string port = "5432";
  ini.getparam(dsn, "Port", port);
  if (!parsePort(port, source.port)) {
    Log::LogByLevel(LOG_NORMAL, "odbc data source [%s] in [%s]: bad value [%.100s] for key [Port]",
                    dsn, path.c_str(), port.c_str());
    return false;
  }
  ini.getparam(dsn, "Database", source.database);
  ini.getparam(dsn, "UserName", source.userName);
  ini.getparam(dsn, "Password", source.password);
  return true;
}

}  // namespace KELP
