#include "host/db/qx_db_conn_pool.h"

#include "host/log/log.h"
#include "host/db/odbc_data_source.h"

namespace KELP {

std::shared_ptr<QxDBConnection> QxDBConnPoolWrapper::open(const std::string& home) {
  if (!databaseConfigured(home)) return nullptr;
  if (open_.fetch_add(1) >= max_connections_) {
    open_.fetch_sub(1);
    Log::LogByLevel(LOG_NORMAL, "database pool: %d connections already open, none more", max_connections_);
    return nullptr;
  }
  std::shared_ptr<QxDBConnection> conn(new QxDBConnection(QxDBConnection::ODBC_VERSION_3, home),
                                       [this](QxDBConnection* c) {
                                         delete c;
                                         open_.fetch_sub(1);
                                       });
  if (conn->connect(kOdbcDataSourceName, "", "", "", kLoginTimeout, 1, 10, 0) != 0) return nullptr;
  return conn;
}

}  // namespace KELP
