#include "tests/pg/pg_server.h"

#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace pgtest {

namespace {

const char kBin[] = "/usr/lib/postgresql/15/bin";
const char kTemplate[] = "/tmp/keelgate-pg-template-15";

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string asPostgres(const std::string& command) {
  return "runuser -u postgres -- " + command;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

PgServer::PgServer(const std::string& schemaPath) {
  char tmpl[] = "/tmp/keelgate-pg.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    why_ = "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  ok_ = setUp(schemaPath);
}

PgServer::~PgServer() {
  stop();
  if (!dir_.empty()) run("rm -rf " + quoted(dir_));
}

bool PgServer::run(const std::string& command, std::string* output) const {
  std::string full = command + " 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (p == nullptr) return false;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (output != nullptr) *output = text;
  if (status != 0) fprintf(stderr, "pg_server: [%s] failed:\n%s\n", command.c_str(), text.c_str());
  return status == 0;
}

bool PgServer::setUp(const std::string& schemaPath) {
  struct passwd* pg = getpwnam("postgres");
  if (pg == nullptr || !exists(std::string(kBin) + "/initdb")) {
    why_ = "PostgreSQL 15 or its postgres account is missing (scripts/install-deps.sh)";
    return false;
  }
  if (chown(dir_.c_str(), pg->pw_uid, pg->pw_gid) != 0 || chmod(dir_.c_str(), 0755) != 0) {
    why_ = "cannot hand " + dir_ + " to postgres";
    return false;
  }
  if (!exists(std::string(kTemplate) + "/PG_VERSION")) {
    // Built aside and renamed, so a concurrent test never sees half of it.
    std::string building = std::string(kTemplate) + ".new." + std::to_string(getpid());
    bool made = run(asPostgres(std::string(kBin) + "/initdb -D " + building +
                               " -U postgres -A trust --no-sync -E UTF8 --locale=C.UTF-8"));
    if (!made || rename(building.c_str(), kTemplate) != 0) run("rm -rf " + quoted(building));
    if (!exists(std::string(kTemplate) + "/PG_VERSION")) {
      why_ = "initdb failed";
      return false;
    }
  }
  const std::string data = dir_ + "/data";
  if (!run(asPostgres("cp -a " + std::string(kTemplate) + " " + quoted(data)))) {
    why_ = "cannot copy the template cluster";
    return false;
  }
  std::ofstream(data + "/pg_hba.conf", std::ios::trunc) << "local all postgres trust\n"
                                                         << "local all all scram-sha-256\n";
  if (!start()) {
    why_ = "the server did not start; see " + dir_ + "/log";
    return false;
  }
  std::string admin = "psql -X -q -v ON_ERROR_STOP=1 -h " + quoted(dir_) + " -U postgres -d postgres";
  if (!run(admin + " -c \"create role kelp login password 'secret'\" -c \"create database kelp owner kelp\"")) {
    why_ = "cannot create the role and database kelp";
    return false;
  }
  if (!run("PGPASSWORD=secret psql -X -q -v ON_ERROR_STOP=1 -h " + quoted(dir_) + " -U kelp -d kelp -f " +
           quoted(schemaPath))) {
    why_ = "cannot load " + schemaPath;
    return false;
  }
  return true;
}

bool PgServer::start() {
  if (running_) return true;
  std::string options = "-k " + dir_ + " -c listen_addresses= -c fsync=off -c synchronous_commit=off "
                        "-c full_page_writes=off -c TimeZone=America/New_York";
  running_ = run(asPostgres(std::string(kBin) + "/pg_ctl -D " + quoted(dir_ + "/data") + " -o " +
                            quoted(options) + " -l " + quoted(dir_ + "/log") + " -w -t 60 start"));
  return running_;
}

bool PgServer::stop() {
  if (!running_) return true;
  running_ = false;
  return run(asPostgres(std::string(kBin) + "/pg_ctl -D " + quoted(dir_ + "/data") + " -m fast -w stop"));
}

std::string PgServer::odbcIni(const std::string& password) const {
  return "[KELP]\nDriver = PostgreSQL Unicode\nServername = " + dir_ +
         "\nPort = 5432\nDatabase = kelp\nUserName = kelp\nPassword = " + password + "\n";
}

bool PgServer::sql(const std::string& statements, std::string* rows) const {
  std::string out;
  bool ok = run("psql -X -q -A -t -v ON_ERROR_STOP=1 -h " + quoted(dir_) + " -U postgres -d kelp -c " +
                    quoted(statements),
                &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (rows != nullptr) *rows = out;
  return ok;
}

std::string PgServer::rows(const std::string& query) const {
  std::string out;
  return sql(query, &out) ? out : std::string();
}

bool PgServer::reset() const {
  return sql(
      "truncate t_sender_filter_conn_traffic, t_sender_filter_blocked, tb_system_event, tb_global_setting;"
      "delete from tb_tables_version; insert into tb_tables_version values ('smpt_traffic_throttling', 0)");
}

}  // namespace pgtest
