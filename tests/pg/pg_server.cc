#include "tests/pg/pg_server.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace pgtest {

namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin/";
const std::string kTemplate = "/tmp/keelgate-pg-template-15";

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a shell command, its standard error joined to its output, which goes
// to *output; a failure is shown on standard error.
bool run(const std::string& command, std::string* output = nullptr) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  std::string text;
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  bool ok = p != nullptr && pclose(p) == 0;
  if (!ok) fprintf(stderr, "pg_server: [%s] failed:\n%s\n", command.c_str(), text.c_str());
  if (output != nullptr) *output = text;
  return ok;
}

std::string asPostgres(const std::string& command) { return "runuser -u postgres -- " + command; }

// The template cluster, made once per machine: built aside and renamed, so
// that a concurrent test never sees half of it.
bool haveTemplate() {
  const std::string version = kTemplate + "/PG_VERSION", building = kTemplate + ".new." + std::to_string(getpid());
  if (access(version.c_str(), F_OK) == 0) return true;
  if (!run(asPostgres(kBin + "initdb -D " + building + " -U postgres -A trust --no-sync -E UTF8 --locale=C.UTF-8")) ||
      rename(building.c_str(), kTemplate.c_str()) != 0)
    run("rm -rf " + building);
  return access(version.c_str(), F_OK) == 0;
}

}  // namespace

PgServer::PgServer(const std::string& schemaPath) {
  char tmpl[] = "/tmp/keelgate-pg.XXXXXX";
  dir_ = mkdtemp(tmpl) != nullptr ? tmpl : "";
  const std::string psql = "psql -X -q -v ON_ERROR_STOP=1 -h " + quoted(dir_);
  const struct { const char* what; std::function<bool()> done; } steps[] = {
      {"hand the directory to postgres", [&] { return !dir_.empty() && run("chown postgres: " + dir_ + " && chmod 755 " + dir_); }},
      {"initdb (is PostgreSQL 15 installed? scripts/install-deps.sh)", haveTemplate},
      {"copy the template", [&] { return run(asPostgres("cp -a " + kTemplate + " " + quoted(dir_ + "/data"))); }},
      {"write pg_hba.conf", [&] {
         return !!(std::ofstream(dir_ + "/data/pg_hba.conf") << "local all postgres trust\nlocal all all scram-sha-256\n");
       }},
      {"start the server (see its log)", [&] { return start(); }},
      {"create the role and database kelp", [&] {
         return run(psql + " -U postgres -d postgres -c \"create role kelp login password 'secret'\" "
                           "-c 'create database kelp owner kelp'");
       }},
      {"load the schema", [&] { return run("PGPASSWORD=secret " + psql + " -U kelp -d kelp -f " + quoted(schemaPath)); }},
  };
  for (const auto& step : steps)
    if (why_.empty() && !step.done()) why_ = "cannot " + std::string(step.what) + " in " + dir_;
}

PgServer::~PgServer() {
  stop();
  if (!dir_.empty()) run("rm -rf " + quoted(dir_));
}

bool PgServer::start() {
  const std::string options = "-k " + dir_ + " -c listen_addresses= -c fsync=off -c synchronous_commit=off "
                              "-c full_page_writes=off -c TimeZone=America/New_York";
  running_ = running_ || run(asPostgres(kBin + "pg_ctl -D " + quoted(dir_ + "/data") + " -o " + quoted(options) +
                                        " -l " + quoted(dir_ + "/log") + " -w -t 60 start"));
  return running_;
}

bool PgServer::stop() {
  if (!running_) return true;
  running_ = false;
  return run(asPostgres(kBin + "pg_ctl -D " + quoted(dir_ + "/data") + " -m fast -w stop"));
}

std::string PgServer::odbcIni(const std::string& password) const {
  return "[KELP]\nDriver = PostgreSQL Unicode\nServername = " + dir_ +
         "\nPort = 5432\nDatabase = kelp\nUserName = kelp\nPassword = " + password + "\n";
}

bool PgServer::sql(const std::string& statements, std::string* rows) const {
  std::string out;
  bool ok = run("psql -X -q -A -t -v ON_ERROR_STOP=1 -h " + quoted(dir_) + " -U postgres -d kelp -c " + quoted(statements),
                &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (rows != nullptr) *rows = out;
  return ok;
}

std::string PgServer::rows(const std::string& query) const {
  std::string out;
  return sql(query, &out) ? out : "";
}

bool PgServer::reset() const {
  return sql("truncate t_sender_filter_conn_traffic, t_sender_filter_blocked, tb_system_event, tb_global_setting;"
             "delete from tb_tables_version; insert into tb_tables_version values ('smpt_traffic_throttling', 0)");
}

}  // namespace pgtest
