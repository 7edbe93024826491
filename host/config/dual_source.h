// A value that lives either in a local settings file or in the gateway
// database. The file (config/ha/keelgate: "key = value" lines without
// sections) answers by key; only when it lacks the key and a database is
// configured is the SQL asked of the database, through the pool, and each of
// its rows gives the text of its column "value". A database that cannot be
// reached gives no row (logged), after at most the pool's login timeout.
#ifndef KEELGATE_HOST_CONFIG_DUAL_SOURCE_H
#define KEELGATE_HOST_CONFIG_DUAL_SOURCE_H

#include <string>
#include <vector>

#include "host/db/qx_db_conn_pool.h"

namespace KELP {

class DataStmtParams {};

// Rows of one query, each a single column "value".
class DualResult {
 public:
  virtual ~DualResult() {}
  // True while a row is available.
  virtual bool next() = 0;
  // Nonzero when the row has the column; `value` then points at its text,
  // valid until the query object is released.
  virtual int getString(const char* column, const char** value) = 0;
};

class DualQuery {
 public:
  // Destroys the query object and its result.
  virtual void release() = 0;
  // Runs the query; null when it cannot run.
  virtual DualResult* execute(DataStmtParams& params) = 0;

 protected:
  virtual ~DualQuery() {}
};

class DualSource {
 public:
  // `relativePath` is under the installation directory `home`; an empty home
  // means the environment's KELP_HOME, read at each prepare().
  DualSource(DBConnPoolWrapper& pool, const char* relativePath, const std::string& home = "");

  // A query for `key` (file side) and `sql` (database side), or null.
  DualQuery* prepare(const char* key, const char* sql);

 private:
  DBConnPoolWrapper& pool_;
  std::string relative_path_;
  std::string home_;
};

}  // namespace KELP

#endif
