// keelgate-store: the operator's tool for the throttling data in the gateway
// database: automatic blocks of client IPs and senders, their expiry, the
// aggregated traffic rows and the version number. After a change of the
// blocks it bumps the version number and sends SIGHUP to the running daemon
// (bin/keelgate.pid), whose workers then reload the automatic blocks.
//
// Its messages go to the installation's log (log/keelgate.log); -v copies
// them, at the debug level, to standard error.
// Exit status: 0 done, 1 usage, 2 the database is not configured or cannot
// be reached, 3 the operation failed.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "host/base/clock.h"
#include "host/config/config_file_on_disk.h"
#include "host/config/install_dir.h"
#include "host/lists/ipv4_block_set.h"
#include "host/log/log.h"
#include "host/db/qx_db_connection.h"
#include "throttling/smtp_conn_traffic_list.h"

namespace {

enum { kOk = 0, kUsage = 1, kUnreachable = 2, kFailed = 3 };

int usage() {
  fprintf(stderr,
          "usage: keelgate-store [-d KELP_HOME] [-v] COMMAND [ARGS]\n"
          "  block-ip IP --for DURATION        block a client IP (automatic block, type 1)\n"
          "  block-sender ADDR --for DURATION  block a sender (automatic block, type 2)\n"
          "  unblock-ip IP | unblock-sender ADDR\n"
          "                                    end a block now, then expire\n"
          "  expire                            announce and delete the expired blocks\n"
          "  list                              print the stored blocks\n"
          "  dump-traffic [TYPE]               print the stored traffic rows (types 1, 2, 3)\n"
          "  load-traffic                      replace the stored rows of each type read from stdin\n"
          "  version                           print the version number of the throttling data\n"
          "DURATION: seconds, or a number with s, m, h or d (30m, 1h, 86400).\n"
          "Traffic lines: TYPE TIME IP SENDER SCANNER COUNT, TAB-separated, TIME in epoch seconds.\n"
          "KELP_HOME defaults to the environment's, then /opt/corvo/kelp.\n"
          "Exit status: 0 done, 1 usage, 2 database unreachable, 3 operation failed.\n");
  return kUsage;
}

// Copies every message to standard error as well.
class TeeSink : public KELP::LogMsg {
 public:
  TeeSink(KELP::LogMsg* file, bool echo) : file_(file), echo_(echo) {}
  void write(KELP::KELPLogLevel level, const char* text, size_t len) override {
    if (file_ != nullptr) file_->write(level, text, len);
    if (echo_) fprintf(stderr, "keelgate-store: %.*s\n", static_cast<int>(len), text);
  }

 private:
  KELP::LogMsg* file_;
  bool echo_;
};

// Seconds of "90", "30m", "1h", "2d"; -1 when unreadable or not positive.
long parseDuration(const std::string& text) {
  if (text.empty()) return -1;
  char* end = nullptr;
  long n = strtol(text.c_str(), &end, 10);
  long unit = 1;
  std::string suffix(end);
  if (suffix == "m") unit = 60;
  else if (suffix == "h") unit = 3600;
  else if (suffix == "d") unit = 86400;
  else if (!suffix.empty() && suffix != "s") return -1;
  if (n <= 0 || text[0] < '0' || text[0] > '9' || n > 3650L * 86400 / unit) return -1;
  return n * unit;
}

std::string utcText(long long t) {
  time_t when = static_cast<time_t>(t);
  struct tm tm;
  char text[64] = "?";
  if (gmtime_r(&when, &tm) != nullptr) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

struct Store {
  std::string home;
  SmtpConnTrafficList list;
  KELP::QxDBConnection conn;

  explicit Store(const std::string& h) : home(h), conn(KELP::QxDBConnection::ODBC_VERSION_3, h) {
    list.setHome(home);
    list.initDBConfig();
  }
  // Our own connection for the tool's own statements, and the proof that the
  // traffic list's connect (which ends the process on failure) will work.
  bool reachable() {
    const SmtpConnTrafficList::DbSettings& db = list.dbSettings();
    return conn.connect(db.dataSourceName, db.userName, db.password, db.databaseName, 5, 1, 10, 0) == 0;
  }
  // Runs `sql` with text parameters; the rows in *out. False on failure.
  bool run(const char* sql, const std::vector<std::string>& texts, std::vector<std::vector<std::string>>* out,
           const std::vector<const char*>& columns = {}) {
    KELP::QxDBStatement* stmt = nullptr;
    if (conn.prepareStatement(sql, &stmt) != 0) return false;
    for (size_t i = 0; i < texts.size(); ++i)
      stmt->setParameter(static_cast<int>(i + 1), (unsigned char*)texts[i].data(), static_cast<int>(texts[i].size()),
                         false);
    KELP::QxDBResultset* rows = nullptr;
    bool ok = stmt->excuteQuery(&rows) == 0;
    while (ok && out != nullptr && rows->next() == 0) {
      std::vector<std::string> row;
      for (const char* column : columns) {
        const char* value = "";
        rows->getString(column, &value);
        row.push_back(value);
      }
      out->push_back(row);
    }
    conn.releaseStatement(stmt);
    return ok;
  }
};

// SIGHUP to the running daemon, so that its workers reload the blocks.
void reloadDaemon(const std::string& home) {
  std::string text;
  if (!KELP::readWholeFile(home + "/bin/keelgate.pid", text) || atoi(text.c_str()) <= 0) {
    fprintf(stderr, "keelgate-store: keelgate is not running (no %s/bin/keelgate.pid); the change counts at its "
                    "next start\n", home.c_str());
    return;
  }
  pid_t pid = atoi(text.c_str());
  if (kill(pid, SIGHUP) != 0)
    fprintf(stderr, "keelgate-store: cannot signal keelgate (pid %d): %s\n", static_cast<int>(pid), strerror(errno));
}

int changed(Store& s) {
  s.list.updateVersionNumber();
  reloadDaemon(s.home);
  return kOk;
}

int block(Store& s, bool byIp, const std::string& key, long seconds) {
  uint32_t addr;
  if (byIp ? !KELP::parseIPv4(key, addr) : key.empty()) {
    fprintf(stderr, "keelgate-store: [%s] is not %s\n", key.c_str(), byIp ? "an IPv4 address" : "a sender");
    return kUsage;
  }
  long now = static_cast<long>(KELP::Clock::now());
  bool ok = byIp ? s.list.insertBlockedToDB(key, "", 1, now, now + seconds)
                 : s.list.insertBlockedToDB("", key, 2, now, now + seconds);
  if (!ok) return fprintf(stderr, "keelgate-store: the block was not stored\n"), kFailed;
  printf("%s %s blocked until %s\n", byIp ? "ip" : "sender", key.c_str(), utcText(now + seconds).c_str());
  return changed(s);
}

int expire(Store& s) {
  s.list.isAnyBlockExpire();
  if (!s.list.releaseDropBlockList()) return fprintf(stderr, "keelgate-store: expiry failed\n"), kFailed;
  return changed(s);
}

int unblock(Store& s, bool byIp, const std::string& key) {
  std::string now = std::to_string(static_cast<long>(KELP::Clock::now()));
  std::vector<std::vector<std::string>> found;
  const char* sql = byIp ? "update t_sender_filter_blocked set expiration=least(expiration, ?::bigint) "
                           "where ip=? and type in (1, 3) returning ip"
                         : "update t_sender_filter_blocked set expiration=least(expiration, ?::bigint) "
                           "where sender=? and type=2 returning sender";
  if (!s.run(sql, {now, key}, &found, {byIp ? "ip" : "sender"}))
    return fprintf(stderr, "keelgate-store: cannot end the block\n"), kFailed;
  if (found.empty()) return fprintf(stderr, "keelgate-store: no block of [%s] is stored\n", key.c_str()), kFailed;
  return expire(s);
}

int list(Store& s) {
  std::vector<std::vector<std::string>> rows;
  if (!s.run("select ip, sender, type, blocked_start_time, expiration from t_sender_filter_blocked "
             "order by expiration, ip, sender",
             {}, &rows, {"ip", "sender", "type", "blocked_start_time", "expiration"}))
    return kFailed;
  long long now = KELP::Clock::now();
  printf("TYPE\tIP\tSENDER\tSTART\tEXPIRATION\n");
  for (const auto& r : rows) {
    long long expiration = atoll(r[4].c_str());
    printf("%s\t%s\t%s\t%s\t%s%s\n", r[2].c_str(), r[0].empty() ? "-" : r[0].c_str(),
           r[1].empty() ? "-" : r[1].c_str(), utcText(atoll(r[3].c_str())).c_str(), utcText(expiration).c_str(),
           expiration <= now ? " (expired)" : "");
  }
  return kOk;
}

int dumpTraffic(Store& s, int onlyType) {
  for (int type = 1; type <= 3; ++type) {
    if (onlyType != 0 && type != onlyType) continue;
    if (!s.list.getTrafficLogFromDB(true, type, {})) return kFailed;
    for (const auto& e : *s.list.aggregatedTraffic(type))
      printf("%d\t%d\t%s\t%s\t%d\t%d\n", type, e.first.timeStamp, e.first.ip.c_str(), e.first.sender.c_str(),
             e.first.scannerId, e.second);
  }
  return kOk;
}

int loadTraffic(Store& s) {
  bool seen[4] = {false, false, false, false};
  std::string line;
  int lineNo = 0;
  while (std::getline(std::cin, line)) {
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    size_t start = 0, tab;
    while ((tab = line.find('\t', start)) != std::string::npos) f.push_back(line.substr(start, tab - start)), start = tab + 1;
    f.push_back(line.substr(start));
    ConnTrafficItem item;
    item.type = f.size() == 6 ? atoi(f[0].c_str()) : 0;
    if (item.type < 1 || item.type > 3) {
      fprintf(stderr, "keelgate-store: stdin line %d: want TYPE(1-3) TIME IP SENDER SCANNER COUNT\n", lineNo);
      return kUsage;
    }
    item.timeStamp = atoi(f[1].c_str()), item.ip = f[2], item.sender = f[3];
    item.scannerId = atoi(f[4].c_str()), item.count = atoi(f[5].c_str());
    (*s.list.aggregatedTraffic(item.type))[item] = item.count;
    seen[item.type] = true;
  }
  for (int type = 1; type <= 3; ++type)
    if (seen[type] && !s.list.dumpMemoryTrafficLogToDB(true, type)) return kFailed;
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::string home;
  bool verbose = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (strcmp(argv[i], "-d") == 0 && i + 1 < argc) home = argv[++i];
    else if (strcmp(argv[i], "-v") == 0) verbose = true;
    else return usage();
  }
  if (i >= argc) return usage();
  home = KELP::installDir(home);
  std::vector<std::string> args(argv + i, argv + argc);
  const std::string& cmd = args[0];

  long seconds = 0;
  bool blockCmd = cmd == "block-ip" || cmd == "block-sender";
  if (blockCmd) {
    if (args.size() != 4 || args[2] != "--for" || (seconds = parseDuration(args[3])) <= 0) return usage();
  } else if (cmd == "unblock-ip" || cmd == "unblock-sender") {
    if (args.size() != 2) return usage();
  } else if (cmd == "dump-traffic") {
    if (args.size() > 2 || (args.size() == 2 && (args[1] < "1" || args[1] > "3" || args[1].size() != 1)))
      return usage();
  } else if (cmd != "expire" && cmd != "list" && cmd != "load-traffic" && cmd != "version") {
    return usage();
  } else if (args.size() != 1) {
    return usage();
  }

  KELP::LogFileSink file(home + "/log/keelgate.log");
  TeeSink sink(file.ok() ? &file : nullptr, verbose);
  KELP::Log::Init(&sink, verbose ? KELP::LOG_DEBUG : KELP::LOG_NORMAL);

  Store store(home);
  if (!store.reachable()) {
    fprintf(stderr, "keelgate-store: the database of %s/config/odbc.ini cannot be reached: %s\n", home.c_str(),
            store.conn.lastError().c_str());
    return kUnreachable;
  }
  if (blockCmd) return block(store, cmd == "block-ip", args[1], seconds);
  if (cmd == "unblock-ip" || cmd == "unblock-sender") return unblock(store, cmd == "unblock-ip", args[1]);
  if (cmd == "expire") return expire(store);
  if (cmd == "list") return list(store);
  if (cmd == "dump-traffic") return dumpTraffic(store, args.size() == 2 ? atoi(args[1].c_str()) : 0);
  if (cmd == "load-traffic") return loadTraffic(store);
  printf("%d\n", store.list.getVersionNumber());
  return kOk;
}
