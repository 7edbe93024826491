#include "host/db/odbc_data_source.h"

#include "host/config/config_file_on_disk.h"
#include "host/log/log.h"

namespace KELP {

const char kOdbcDataSourceName[] = "KELP";

namespace {

bool parseNumber(const std::string& text, int max, int& number) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > max) return false;
  number = value;
  return true;
}

// Reads the optional number `key` into `number`; false, logged, when it is
// given and not a number from 1 to `max`.
bool readNumber(const ConfigFileOnDisk& ini, const char* dsn, const char* key, int max, int& number) {
  std::string text;
  if (!ini.getparam(dsn, key, text) || parseNumber(text, max, number)) return true;
  Log::LogByLevel(LOG_NORMAL, "odbc data source [%s] in [%s]: bad value [%.100s] for key [%s]", dsn,
                  ini.path().c_str(), text.c_str(), key);
  return false;
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
  source.port = 5432;
  if (!readNumber(ini, dsn, "Port", 65535, source.port) ||
      !readNumber(ini, dsn, "LoginTimeout", 300, source.loginTimeout) ||
      !readNumber(ini, dsn, "QueryTimeout", 300, source.queryTimeout))
    return false;
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

namespace {

std::string connectionString(const OdbcDataSource& source, const std::string& password) {
  // UseServerSidePrepare=0: the driver then sends a statement text with two
  // commands and their parameters as one query, which the blocked-item store
  // needs. BoolsAsChar=0 reads booleans as 1/0.
  std::string ms = std::to_string(source.queryTimeout * 1000);
  return "DRIVER=" + braced(source.driver) + ";SERVER=" + braced(source.servername) +
         ";PORT=" + std::to_string(source.port) + ";DATABASE=" + braced(source.database) +
         ";UID=" + braced(source.userName) + ";PWD=" + password +
         ";UseServerSidePrepare=0;BoolsAsChar=0;CommLog=0;Debug=0" +
         ";ConnSettings=" + braced("SET statement_timeout=" + ms + ";SET lock_timeout=" + ms);
}

}  // namespace

std::string odbcConnectionString(const OdbcDataSource& source) {
  return connectionString(source, braced(source.password));
}

std::string maskedConnectionString(const OdbcDataSource& source) { return connectionString(source, "***"); }

}  // namespace KELP
