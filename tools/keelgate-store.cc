// keelgate-store: the operator's tool for the throttling data in the gateway
// database: automatic blocks of client IPs and senders, their expiry, the
// aggregated traffic rows and the version number. After a change of the
// blocks it bumps the version number and sends SIGHUP to the running daemon
// (bin/keelgate.pid), whose workers then reload the automatic blocks; a pid
// file that names no running keelgate is reported and nothing is signalled.
//
// Each command runs in one transaction on one connection: a statement of it
// that fails rolls all of it back, and nothing is printed as done that was
// not committed.
//
// Its messages go to the installation's log (log/keelgate.log); -v copies
// them, at the debug level, to standard error.
// Exit status: 0 done, 1 usage or unreadable input, 2 the database is not
// configured or cannot be reached, 3 the operation failed and changed nothing.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <functional>
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

const int64_t kYear = 365LL * 86400;
const int64_t kMaxDuration = 100 * kYear;

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
          "DURATION: seconds, or a number with s, m, h, d or y (365 days): 30m, 1h, 20y; at most 100y.\n"
          "Traffic lines: TYPE TIME IP SENDER SCANNER COUNT, TAB-separated, TIME in epoch seconds.\n"
          "KELP_HOME defaults to the environment's, then /opt/corvo/kelp.\n"
          "Exit status: 0 done, 1 usage or bad input, 2 database not configured or unreachable,\n"
          "3 operation failed (nothing of it was stored).\n");
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

// A whole decimal number from `min` to `max`, nothing around it.
bool parseNumber(const std::string& text, long long min, long long max, long long& value) {
  if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return false;
  errno = 0;
  char* end = nullptr;
  value = strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= min && value <= max;
}

// Seconds of "90", "30m", "1h", "2d", "20y"; -1 when unreadable, not
// positive or over 100 years.
int64_t parseDuration(const std::string& text) {
  static const struct { const char* suffix; int64_t seconds; } kUnits[] = {
      {"", 1}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}, {"y", kYear}};
  size_t digits = text.find_first_not_of("0123456789");
  std::string number = text.substr(0, digits), suffix = digits == std::string::npos ? "" : text.substr(digits);
  for (const auto& unit : kUnits) {
    long long n = 0;
    if (suffix == unit.suffix && parseNumber(number, 1, kMaxDuration / unit.seconds, n)) return n * unit.seconds;
  }
  return -1;
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

  explicit Store(const std::string& h) : home(h) {
    list.setHome(home);
    list.initDBConfig();
  }
  // Holds the list's shared connection open for the whole command, so that
  // the list's operations and the tool's own statements share one session
  // and one transaction.
  bool open() { return list.connectDB() == 0; }
  ~Store() { list.disconnectDB(); }
  KELP::QxDBConnection& conn() { return *list.dbConnection(); }

  // Runs `body` in one transaction. kOk when it returned true and the
  // transaction was committed; else all of it is rolled back and kFailed.
  int transaction(const std::function<bool()>& body) {
    if (conn().beginTransaction() != 0) return kFailed;
    if (!body()) {
      conn().rollback();
      return kFailed;
    }
    return conn().commit() == 0 ? kOk : kFailed;
  }

  // Runs `sql`, which takes no parameter; the rows' `columns` in *out.
  // False on failure.
  bool run(const char* sql, std::vector<std::vector<std::string>>* out, const std::vector<const char*>& columns) {
    KELP::QxDBStatement* stmt = nullptr;
    if (conn().prepareStatement(sql, &stmt) != 0) return false;
    bool ok = true;
    KELP::QxDBResultset* rows = nullptr;
    ok = ok && stmt->excuteQuery(&rows) == 0;
    while (ok && out != nullptr && rows->next() == 0) {
      std::vector<std::string> row;
      for (const char* column : columns) {
        const char* value = "";
        rows->getString(column, &value);
        row.push_back(value);
      }
      out->push_back(row);
    }
    ok = ok && !rows->failed();
    conn().releaseStatement(stmt);
    return ok;
  }
};

// True when `pid` is a running keelgate: its executable or its command
// name is keelgate. A pid file left behind by a daemon that died may name
// any process by now.
bool isKeelgate(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  char exe[PATH_MAX];
  ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
  if (n > 0) {
    std::string path(exe, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";  // the binary was replaced since it started
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
      path.resize(path.size() - deleted.size());
    if (path.substr(path.rfind('/') + 1) == "keelgate") return true;
  }
  std::string comm;
  return KELP::readWholeFile(proc + "/comm", comm) && comm == "keelgate\n";
}

// SIGHUP to the running daemon, so that its workers reload the blocks.
void reloadDaemon(const std::string& home) {
  const std::string path = home + "/bin/keelgate.pid";
  std::string text;
  long long pid = 0;
  if (!KELP::readWholeFile(path, text)) {
    fprintf(stderr, "keelgate-store: keelgate is not running (no %s); the change counts at its next start\n",
            path.c_str());
    return;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!parseNumber(text, 2, INT_MAX, pid) || !isKeelgate(static_cast<pid_t>(pid))) {
    fprintf(stderr, "keelgate-store: %s names no running keelgate (stale?); nothing signalled, the change counts "
                    "at keelgate's next start\n", path.c_str());
    return;
  }
  if (kill(static_cast<pid_t>(pid), SIGHUP) != 0)
    fprintf(stderr, "keelgate-store: cannot signal keelgate (pid %lld): %s\n", pid, strerror(errno));
}

int block(Store& s, bool byIp, const std::string& key, int64_t seconds) {
  uint32_t addr;
  if (byIp ? !KELP::parseIPv4(key, addr) : key.empty()) {
    fprintf(stderr, "keelgate-store: [%s] is not %s\n", key.c_str(), byIp ? "an IPv4 address" : "a sender");
    return kUsage;
  }
  const int64_t now = KELP::Clock::now();
  int rc = s.transaction([&] {
    return (byIp ? s.list.insertBlockedToDB(key, "", 1, now, now + seconds)
                 : s.list.insertBlockedToDB("", key, 2, now, now + seconds)) &&
           s.list.updateVersionNumber();
  });
  if (rc != kOk) return fprintf(stderr, "keelgate-store: the block was not stored\n"), rc;
  printf("%s %s blocked until %s\n", byIp ? "ip" : "sender", key.c_str(), utcText(now + seconds).c_str());
  reloadDaemon(s.home);
  return kOk;
}

// Announces and deletes what has expired by now, and bumps the version.
bool expireNow(Store& s) {
  s.list.isAnyBlockExpire();  // false for none as well; a failed statement fails the transaction
  return s.list.releaseDropBlockList() && s.list.updateVersionNumber();
}

int expire(Store& s) {
  if (s.transaction([&] { return expireNow(s); }) != kOk)
    return fprintf(stderr, "keelgate-store: expiry failed, nothing changed\n"), kFailed;
  reloadDaemon(s.home);
  return kOk;
}

int unblock(Store& s, bool byIp, const std::string& key) {
  const int64_t now = KELP::Clock::now();
  const char* sql = byIp ? "update t_sender_filter_blocked set expiration=least(expiration, ?) "
                           "where ip=? and type in (1, 3) returning ip"
                         : "update t_sender_filter_blocked set expiration=least(expiration, ?) "
                           "where sender=? and type=2 returning sender";
  bool none = false;
  int rc = s.transaction([&] {
    std::vector<std::vector<std::string>> found;
    // Parameter 1 is the time, 2 the key.
    KELP::QxDBStatement* stmt = nullptr;
    if (s.conn().prepareStatement(sql, &stmt) != 0) return false;
    long long t = now;
    KELP::QxDBResultset* rows = nullptr;
    bool ok = stmt->setParameter64(1, t) == 0 &&
              stmt->setParameter(2, (unsigned char*)key.data(), static_cast<int>(key.size()), false) == 0 &&
              stmt->excuteQuery(&rows) == 0;
    none = ok && rows->next() != 0 && !rows->failed();
    ok = ok && !rows->failed();
    s.conn().releaseStatement(stmt);
    return ok && !none && expireNow(s);
  });
  if (none) return fprintf(stderr, "keelgate-store: no block of [%s] is stored\n", key.c_str()), kFailed;
  if (rc != kOk) return fprintf(stderr, "keelgate-store: cannot end the block, nothing changed\n"), rc;
  reloadDaemon(s.home);
  return kOk;
}

int list(Store& s) {
  std::vector<std::vector<std::string>> rows;
  if (s.transaction([&] {
        return s.run("select ip, sender, type, blocked_start_time, expiration from t_sender_filter_blocked "
                     "order by expiration, ip, sender",
                     &rows, {"ip", "sender", "type", "blocked_start_time", "expiration"});
      }) != kOk)
    return fprintf(stderr, "keelgate-store: cannot read the blocks\n"), kFailed;
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
  if (s.transaction([&] {
        for (int type = 1; type <= 3; ++type)
          if ((onlyType == 0 || type == onlyType) && !s.list.getTrafficLogFromDB(true, type, {})) return false;
        return true;
      }) != kOk)
    return fprintf(stderr, "keelgate-store: cannot read the traffic rows\n"), kFailed;
  for (int type = 1; type <= 3; ++type)
    for (const auto& e : *s.list.aggregatedTraffic(type))
      printf("%d\t%d\t%s\t%s\t%d\t%d\n", type, e.first.timeStamp, e.first.ip.c_str(), e.first.sender.c_str(),
             e.first.scannerId, e.second);
  return kOk;
}

// One traffic line into `item`; false when it is not TYPE(1-3) TIME IP
// SENDER SCANNER COUNT with whole numbers in range.
bool parseTrafficLine(const std::string& line, ConnTrafficItem& item) {
  std::vector<std::string> f;
  size_t start = 0, tab;
  while ((tab = line.find('\t', start)) != std::string::npos) f.push_back(line.substr(start, tab - start)), start = tab + 1;
  f.push_back(line.substr(start));
  long long type, time, scanner, count;
  if (f.size() != 6 || !parseNumber(f[0], 1, 3, type) || !parseNumber(f[1], INT32_MIN, INT32_MAX, time) ||
      !parseNumber(f[4], INT32_MIN, INT32_MAX, scanner) || !parseNumber(f[5], 0, INT32_MAX, count))
    return false;
  item.type = static_cast<int>(type), item.timeStamp = static_cast<int32_t>(time), item.ip = f[2];
  item.sender = f[3], item.scannerId = static_cast<int>(scanner), item.count = static_cast<int>(count);
  return true;
}

// Reads every line first: a bad one stops the command before the database
// is touched. The rows of each type read then replace that type's stored
// rows, all types in one transaction.
int loadTraffic(Store& s) {
  bool seen[4] = {false, false, false, false};
  std::string line;
  int lineNo = 0;
  while (std::getline(std::cin, line)) {
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;
    ConnTrafficItem item;
    if (!parseTrafficLine(line, item)) {
      fprintf(stderr, "keelgate-store: stdin line %d: want TYPE(1-3) TIME IP SENDER SCANNER COUNT; nothing loaded\n",
              lineNo);
      return kUsage;
    }
    (*s.list.aggregatedTraffic(item.type))[item] = item.count;
    seen[item.type] = true;
  }
  if (s.transaction([&] {
        for (int type = 1; type <= 3; ++type)
          if (seen[type] && !s.list.dumpMemoryTrafficLogToDB(true, type)) return false;
        return true;
      }) != kOk)
    return fprintf(stderr, "keelgate-store: the traffic rows were not stored, nothing replaced\n"), kFailed;
  return kOk;
}

int version(Store& s) {
  int number = 0;
  if (s.transaction([&] {
        number = s.list.getVersionNumber();
        return true;  // a failed select fails the commit
      }) != kOk)
    return fprintf(stderr, "keelgate-store: cannot read the version number\n"), kFailed;
  printf("%d\n", number);
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

  int64_t seconds = 0;
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
  if (!store.open()) {
    fprintf(stderr, "keelgate-store: the database of %s/config/odbc.ini cannot be reached: %s\n", home.c_str(),
            store.conn().lastError().c_str());
    return kUnreachable;
  }
  if (blockCmd) return block(store, cmd == "block-ip", args[1], seconds);
  if (cmd == "unblock-ip" || cmd == "unblock-sender") return unblock(store, cmd == "unblock-ip", args[1]);
  if (cmd == "expire") return expire(store);
  if (cmd == "list") return list(store);
  if (cmd == "dump-traffic") return dumpTraffic(store, args.size() == 2 ? atoi(args[1].c_str()) : 0);
  if (cmd == "load-traffic") return loadTraffic(store);
  return version(store);
}
