// Test support: a private PostgreSQL 15 server for the tests that need the
// gateway database. It runs as the postgres account from a fresh temporary
// directory, listens only on a unix socket in that directory (no TCP port, so
// it works inside the end-to-end tests' network namespace too), has the role
// kelp (password "secret", scram) owning the database kelp with the given
// schema loaded, and is stopped (pg_ctl stop -m fast) and removed by the
// destructor.
//
// initdb runs once per machine into a template directory under /tmp; each
// server copies it, which keeps a start near a second.
#ifndef KEELGATE_TESTS_PG_PG_SERVER_H
#define KEELGATE_TESTS_PG_PG_SERVER_H

#include <string>

namespace pgtest {

class PgServer {
 public:
  explicit PgServer(const std::string& schemaPath);
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // True when the server runs with the schema loaded; else why() says why.
  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }

  // The text of an odbc.ini for the data source KELP of this server.
  std::string odbcIni(const std::string& password = "secret") const;

  // Runs SQL in the database kelp as the superuser; the rows come back as
  // "a|b" lines (no header, no trailing line feed). False when psql failed.
  bool sql(const std::string& statements, std::string* rows = nullptr) const;
  // The rows of a query, as sql() gives them; "" on failure.
  std::string rows(const std::string& query) const;
  // Empties every table and puts the version row back at 0.
  bool reset() const;

  // Stops and starts the server again (the data stays).
  bool stop();
  bool start();

 private:
  std::string dir_;
  std::string why_;
  bool running_ = false;
};

}  // namespace pgtest

#endif
