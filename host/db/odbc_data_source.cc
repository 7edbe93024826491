#include "host/db/odbc_data_source.h"

#include "host/config/config_file_on_disk.h"
#include "host/log/log.h"

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

bool readOdbcDataSource(const std::string& home, OdbcDataSource& source, const char* dsn) {
  std::string path = home + "/config/odbc.ini";
  ConfigFileOnDisk ini(path.c_str());
  if (dsn == nullptr) dsn = kOdbcDataSourceName;
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

bool databaseConfigured(const std::string& home) {
  OdbcDataSource ignored;
  return readOdbcDataSource(home, ignored);
}

namespace {

// A value with a character that would end or confuse the attribute is put
// in braces; plain values go as they are (the driver keeps braces of some
// attributes, such as SERVER, as part of the value).
std::string braced(const std::string& value) {
  if (value.find_first_of(";{}=") == std::string::npos &&
      (value.empty() || (value.front() != ' ' && value.back() != ' ')))
    return value;
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

}  // namespace

std::string odbcConnectionString(const OdbcDataSource& source) {
  // UseServerSidePrepare=0: the driver then sends a statement text with two
  // commands and their parameters as one query, which the blocked-item store
  // needs. BoolsAsChar=0 reads booleans as 1/0.
  return "DRIVER=" + braced(source.driver) + ";SERVER=" + braced(source.servername) +
         ";PORT=" + std::to_string(source.port) + ";DATABASE=" + braced(source.database) +
         ";UID=" + braced(source.userName) + ";PWD=" + braced(source.password) +
         ";UseServerSidePrepare=0;BoolsAsChar=0";
}

}  // namespace KELP
