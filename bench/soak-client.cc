// soak-client: drives a running keelgate pool for a fixed time with a mix of
// policy requests whose answers are known, reloads it (SIGHUP) every second
// and renews its agent connections (SIGUSR1) now and then, and at the end
// checks that nothing was lost or leaked. Run by bench/soak.sh, which lays
// down the installation and the agent sink; the pool must run on KELP_HOME.
//
//   soak-client -H KELP_HOME -a AGENT_LINES_FILE [-s SECONDS] [-t THREADS]
//               [-u SIGUSR1_EVERY_SECONDS]
//
// Checked and printed: the pool kept its twenty processes, every answer was
// the expected one, each worker's descriptors and resident memory ended where
// they started (after a warm-up), the CSV rows count every block, and the
// agent received one traffic line per counted observation. The pool is
// stopped with SIGTERM to its process group at the end, which writes the
// last CSV rows. Exit status 0 when every check passed.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> Attributes;

// One kind of request of the mix: what is asked, what must come back, and
// what it leaves behind (a traffic line to the agent, a block for the CSV).
struct Kind {
  const char* name;
  const char* state;
  const char* ip;      // "%d" takes a number that varies the address
  const char* sender;  // "%d" likewise
  const char* cipher;
  const char* cert;
  const char* answer;
  int observations;
  int blocks;
};

const char kNonNeed[] = "action=DUNNO Non-need check\n\n";
const char kUnused[] = "action=PREPEND X-KELP-TLS-USAGE: Unused\n\n";
const char kUsed[] = "action=PREPEND X-KELP-TLS-USAGE: Used\n\n";
const char kHigh[] = "TLS_AES_256_GCM_SHA384";

// With the sample configuration plus approved_ip 198.51.100.50 and
// approved_sender @trusted.example; ip_conn_enable and sender_enable on.
const Kind kKinds[] = {
    {"CONNECT counted", "CONNECT", "198.51.100.%d", "", "", "", kNonNeed, 1, 0},
    {"CONNECT blocked IP", "CONNECT", "203.0.113.66", "", "", "", "action=421 4.7.0 Too much traffic from your IP address, try again later\n\n", 0, 1},
    {"CONNECT approved IP", "CONNECT", "198.51.100.50", "", "", "", kNonNeed, 0, 0},
    {"CONNECT IPv6", "CONNECT", "2001:db8::%d", "", "", "", kNonNeed, 0, 0},
    {"MAIL counted", "MAIL", "198.51.100.%d", "user%d@example.org", "", "", kUnused, 1, 0},
    {"MAIL blocked sender", "MAIL", "198.51.100.23", "spammer@spam.example", "", "", "action=450 4.7.1 Too much traffic from this sender, try again later\n\n", 0, 1},
    {"MAIL approved IP", "MAIL", "198.51.100.50", "user%d@example.org", "", "", kUnused, 0, 0},
    {"MAIL approved sender", "MAIL", "198.51.100.%d", "carol@trusted.example", "", "", kUnused, 0, 0},
    {"MAIL bank verified", "MAIL", "192.0.2.25", "alice@bank.example", kHigh, "mx.bank.example", kUsed, 1, 0},
    {"MAIL bank no cert", "MAIL", "192.0.2.26", "alice@bank.example", kHigh, "", "action=421 4.7.1 Unverified client certificate\n\n", 1, 0},
    {"MAIL bank domain, no TLS", "MAIL", "198.51.100.%d", "bob@bank.example", "", "", "action=530 5.7.0 Must use TLS\n\n", 1, 0},
    {"MAIL printer with TLS", "MAIL", "198.51.100.7", "printer@example.org", kHigh, "", "action=421 4.7.0 Must not use TLS\n\n", 1, 0},
    {"MAIL IPv6 bank", "MAIL", "2001:db8::%d", "dave@example.org", kHigh, "mx.bank.example", kUsed, 1, 0},
    {"MAIL localhost", "MAIL", "127.0.0.1", "user%d@example.org", "", "", "action=DUNNO Localhost Permitted\n\n", 0, 0},
};
const int kKindCount = sizeof kKinds / sizeof kKinds[0];

std::string format(const char* pattern, int n) {
  char buf[128];
  snprintf(buf, sizeof buf, pattern, n);
  return buf;
}

std::string requestOf(const Kind& k, int n) {
  int v = 100 + n % 100;
  Attributes a = {{"request", "smtpd_access_policy"}, {"protocol_state", k.state},
                  {"protocol_name", "ESMTP"},         {"client_address", format(k.ip, v)},
                  {"client_name", "mx.example.org"},  {"reverse_client_name", "mx.example.org"},
                  {"helo_name", "mx.example.org"},    {"sender", format(k.sender, v)},
                  {"recipient", ""},                  {"ccert_subject", k.cert},
                  {"encryption_protocol", ""},        {"encryption_cipher", k.cipher},
                  {"encryption_keysize", *k.cipher ? "256" : "0"}};
  std::string text;
  for (const auto& p : a) text += p.first + "=" + p.second + "\n";
  return text + "\n";
}

// One request on a fresh connection; the whole answer, or "" on failure.
std::string ask(int port, const std::string& text) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  struct timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string out;
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
    char buf[512];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

// The processes of process group `pgid`, from /proc.
std::set<pid_t> groupMembers(pid_t pgid) {
  std::set<pid_t> out;
  DIR* d = opendir("/proc");
  if (d == nullptr) return out;
  while (struct dirent* e = readdir(d)) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    size_t paren = line.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream rest(line.substr(paren + 2));
    std::string state;
    long ppid, pgrp;
    rest >> state >> ppid >> pgrp;
    if (pgrp == pgid && state != "Z") out.insert(pid);
  }
  closedir(d);
  return out;
}

struct Usage {
  int fds = 0;
  long rssKb = 0;
};

Usage usageOf(pid_t pid) {
  Usage u;
  std::string dir = "/proc/" + std::to_string(pid);
  if (DIR* d = opendir((dir + "/fd").c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++u.fds;
    closedir(d);
  }
  std::ifstream status(dir + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) u.rssKb = atol(line.c_str() + 6);
  return u;
}

std::map<pid_t, Usage> usageOfAll(const std::set<pid_t>& pids) {
  std::map<pid_t, Usage> out;
  for (pid_t pid : pids) out[pid] = usageOf(pid);
  return out;
}

long countLines(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  long n = 0;
  while (std::getline(in, line)) ++n;
  return n;
}

// Sum of the iCount column over every CSV file of the blocked log, and rows.
long sumCsvCounts(const std::string& dir, long* rows) {
  long sum = 0;
  *rows = 0;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.compare(0, 17, "smtp_conn_blocked") != 0 || name.size() < 4 || name.substr(name.size() - 4) != ".csv")
      continue;
    std::ifstream in(dir + "/" + name);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
      if (header) {
        header = false;
        continue;
      }
      size_t tab = line.rfind('\t');
      if (tab == std::string::npos) continue;
      sum += atol(line.c_str() + tab + 1);
      ++*rows;
    }
  }
  closedir(d);
  return sum;
}

struct Totals {
  std::atomic<long> sent{0}, wrong{0}, observations{0}, blocks{0};
  std::atomic<long> perKind[kKindCount] = {};
  std::mutex mu;
  std::vector<std::string> firstWrong;  // guarded by mu
};

void usage() {
  fprintf(stderr, "usage: soak-client -H KELP_HOME -a AGENT_LINES_FILE [-s SECONDS] [-t THREADS] [-u SECONDS]\n");
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string home, agentFile;
  int seconds = 180, threads = 8, usr1Every = 5;
  for (int opt; (opt = getopt(argc, argv, "H:a:s:t:u:")) != -1;) {
    switch (opt) {
      case 'H': home = optarg; break;
      case 'a': agentFile = optarg; break;
      case 's': seconds = atoi(optarg); break;
      case 't': threads = atoi(optarg); break;
      case 'u': usr1Every = atoi(optarg); break;
      default: usage();
    }
  }
  if (home.empty() || agentFile.empty() || seconds < 20 || threads < 1 || usr1Every < 1) usage();
  pid_t mainPid = 0;
  std::ifstream(home + "/bin/keelgate.pid") >> mainPid;
  pid_t pgid = mainPid > 0 ? getpgid(mainPid) : -1;
  std::set<pid_t> pool = groupMembers(pgid);
  if (pgid <= 0 || pool.size() != 20) {
    fprintf(stderr, "soak-client: no pool of 20 processes on %s\n", home.c_str());
    return 2;
  }

  Totals t;
  std::atomic<bool> paused{false}, done{false};
  std::atomic<int> busy{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&] {
      while (!done.load()) {
        if (paused.load()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          continue;
        }
        ++busy;
        long n = t.sent++;
        const Kind& k = kKinds[n % kKindCount];
        int port = (n / kKindCount) % 2 ? 998 : 999;
        std::string answer = ask(port, requestOf(k, static_cast<int>(n / kKindCount)));
        ++t.perKind[n % kKindCount];
        if (answer == k.answer) {
          t.observations += k.observations;
          t.blocks += k.blocks;
        } else {
          ++t.wrong;
          std::lock_guard<std::mutex> lock(t.mu);
          if (t.firstWrong.size() < 5) t.firstWrong.push_back(std::string(k.name) + " on " + std::to_string(port) + ": [" + answer + "]");
        }
        --busy;
      }
    });
  }
  auto quiet = [&] {  // no request in flight
    paused = true;
    while (busy.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };

  // Signals and pool watch, once a second; usage snapshot after the warm-up.
  const int warmUp = seconds / 6 > 15 ? 15 : seconds / 6;
  std::map<pid_t, Usage> startUsage, endUsage;
  long hups = 0, usr1s = 0;
  size_t fewest = pool.size();
  bool changed = false;
  auto begin = std::chrono::steady_clock::now();
  for (int s = 1; s <= seconds; ++s) {
    std::this_thread::sleep_until(begin + std::chrono::seconds(s));
    if (kill(mainPid, SIGHUP) == 0) ++hups;
    if (s % usr1Every == 0)
      for (pid_t pid : pool)
        if (kill(pid, SIGUSR1) == 0) ++usr1s;
    std::set<pid_t> now = groupMembers(pgid);
    if (now.size() < fewest) fewest = now.size();
    if (now != pool) changed = true;
    if (s == warmUp) {
      quiet();
      startUsage = usageOfAll(pool);
      paused = false;
    }
  }
  quiet();
  done = true;
  for (auto& w : workers) w.join();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  endUsage = usageOfAll(pool);

  // Traffic lines: wait until the sink has them all, or 30 s.
  long expectedLines = t.observations.load(), lines = 0;
  for (int i = 0; i < 300 && (lines = countLines(agentFile)) < expectedLines; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

  // Stop the pool; the stop writes the last CSV rows.
  kill(-pgid, SIGTERM);
  for (int i = 0; i < 200 && !groupMembers(pgid).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  bool stopped = groupMembers(pgid).empty();
  long csvRows = 0;
  long csvCount = sumCsvCounts(home + "/log", &csvRows);

  // Report.
  int fdDrift = 0;
  long rssGrowthMax = 0, rssStartTotal = 0, rssEndTotal = 0;
  int fdStartTotal = 0, fdEndTotal = 0;
  for (const auto& p : startUsage) {
    const Usage& a = p.second;
    const Usage& b = endUsage[p.first];
    fdDrift += abs(b.fds - a.fds);
    if (b.rssKb - a.rssKb > rssGrowthMax) rssGrowthMax = b.rssKb - a.rssKb;
    rssStartTotal += a.rssKb;
    rssEndTotal += b.rssKb;
    fdStartTotal += a.fds;
    fdEndTotal += b.fds;
  }
  const long kRssToleranceKb = 2048;
  bool ok = true;
  auto row = [&](const char* what, const std::string& value, bool pass) {
    printf("| %-40s | %-36s | %-4s |\n", what, value.c_str(), pass ? "ok" : "FAIL");
    ok = ok && pass;
  };
  printf("soak: %.0f s, %d client threads, %ld requests (%.0f/s), SIGHUP every 1 s, SIGUSR1 to all every %d s\n",
         elapsed, threads, t.sent.load(), t.sent.load() / elapsed, usr1Every);
  for (int i = 0; i < kKindCount; ++i) printf("  %-26s %ld\n", kKinds[i].name, t.perKind[i].load());
  for (const auto& w : t.firstWrong) printf("  wrong: %s\n", w.c_str());
  printf("| %-40s | %-36s | %-4s |\n|---|---|---|\n", "check", "figure", "");
  row("requests, wrong answers", std::to_string(t.sent.load()) + ", " + std::to_string(t.wrong.load()), t.wrong == 0);
  row("SIGHUPs, SIGUSR1s", std::to_string(hups) + ", " + std::to_string(usr1s), hups >= seconds - 1);
  row("pool processes (fewest seen, same pids)", std::to_string(fewest) + ", " + (changed ? "changed" : "same"),
      fewest == 20 && !changed);
  row("descriptors, all workers: start -> end",
      std::to_string(fdStartTotal) + " -> " + std::to_string(fdEndTotal) + " (drift " + std::to_string(fdDrift) + ")",
      fdDrift == 0);
  row("VmRSS kB, all workers: start -> end",
      std::to_string(rssStartTotal) + " -> " + std::to_string(rssEndTotal) + " (max +" + std::to_string(rssGrowthMax) +
          ")",
      rssGrowthMax <= kRssToleranceKb);
  row("CSV iCount sum vs blocked answers",
      std::to_string(csvCount) + " vs " + std::to_string(t.blocks.load()) + " (" + std::to_string(csvRows) + " rows)",
      csvCount == t.blocks.load());
  row("traffic lines vs observations", std::to_string(lines) + " vs " + std::to_string(expectedLines),
      lines == expectedLines);
  row("pool stopped by SIGTERM", stopped ? "yes" : "no", stopped);
  return ok ? 0 : 1;
}
