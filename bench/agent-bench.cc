// agent-bench: what one keelgate-agent absorbs. It starts the real agent in
// the foreground on a scratch installation directory (in a private network
// namespace when run as root), then twice for SECONDS has twenty persistent
// local connections send traffic lines as fast as they can (a third of each
// type, 100 000 client IPs and senders) while a burst thread opens short
// child report connections of 200 folded lines each: first in 60 KB writes,
// then one line a write as the daemon's workers send them. The load and the
// agent share the machine, so the second column is bounded by the senders.
// It prints a table: lines per second the agent counted, sent/counted
// totals, the agent's CPU per line (utime + stime of /proc/PID/stat), and the
// memory per key of the counting core at KEYS keys (RSS delta in this
// process / keys).
//
//   agent-bench AGENT_BIN [SECONDS] [KEYS]
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/counting.h"
#include "bench/bench_names.h"

namespace {

const int kPort = 10040;
const int kPersistent = 20;

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int connectLocal(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return close(fd), -1;
  return fd;
}

bool sendAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A block of `lines` traffic lines of scanner `scanner` with count `count`,
// keys from `first` on.
std::string lineBlock(uint32_t first, int lines, int scanner, int count) {
  std::string out;
  for (int i = 0; i < lines; ++i) {
    uint32_t k = (first + static_cast<uint32_t>(i)) % 100000;
    std::string ip = bench::dottedQuad(bench::clientAddr(k));
    std::string head = ";" + std::to_string(scanner) + ";";
    switch (i % 3) {
      case 0: out += "ORCAS-Conn-IP:1800000000" + head + "1;" + std::to_string(count) + ";" + ip + "\n"; break;
      case 1: out += "ORCAS-Conn-MSG:1800000000" + head + "2;" + std::to_string(count) + ";" + ip + ";" +
                     bench::senderName(k, 1000) + "\n"; break;
      default: out += "ORCAS-Conn-Sender:1800000000" + head + "3;" + std::to_string(count) + ";" + ip + ";" +
                      bench::senderName(k, 1000) + "\n";
    }
  }
  return out;
}

long long scrapeLines() {
  int fd = connectLocal(9740);
  if (fd < 0) return -1;
  std::string reply;
  sendAll(fd, "GET /metrics HTTP/1.0\r\n\r\n");
  char buf[16384];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
  close(fd);
  long long total = 0;
  std::istringstream in(reply);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 27, "keelgate_agent_lines_total{") == 0) total += std::stoll(line.substr(line.rfind(' ') + 1));
  return total;
}

double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long rssKb() {
  std::ifstream in("/proc/self/statm");
  long pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void privateNetwork() {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
    fprintf(stderr, "agent-bench: not root: using the ports %d and 9740 of this host\n", kPort);
    return;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct ifreq ifr = {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  ioctl(fd, SIOCGIFFLAGS, &ifr);
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ioctl(fd, SIOCSIFFLAGS, &ifr);
  close(fd);
}

std::string scratchHome() {
  char tmpl[] = "/tmp/agent-bench.XXXXXX";
  std::string home = mkdtemp(tmpl);
  chmod(home.c_str(), 0755);
  struct passwd* kelp = getpwnam("kelp");
  for (const char* sub : {"bin", "log", "config"}) {
    std::string dir = home + "/" + sub;
    mkdir(dir.c_str(), 0755);
    if (kelp != nullptr && strcmp(sub, "config") != 0 && chown(dir.c_str(), kelp->pw_uid, kelp->pw_gid) != 0)
      perror(dir.c_str());
  }
  // Every rule counts, none blocks: the load is all counting.
  std::ofstream(home + "/config/kelp.ini")
      << "[smtp_traffic_throttling]\nip_conn_enable = yes\nip_msg_enable = yes\nsender_enable = yes\n"
         "ip_conn_limit = 0\n[smtp_agent]\nmax_keys = 2000000\n";
  return home;
}

// Memory per key of the counting core: KEYS distinct IPs counted once each.
double bytesPerKey(size_t keys) {
  agent::Counting counting;
  agent::RuleSet rules;
  rules.rule[agent::kIpConn] = {true, 3600, 0, 0};
  counting.configure(rules, keys, true, 1);
  std::vector<std::string> ips;
  ips.reserve(keys);
  for (size_t i = 0; i < keys; ++i) ips.push_back(bench::dottedQuad(bench::clientAddr(static_cast<uint32_t>(i))));
  long before = rssKb();
  agent::Block block;
  for (const std::string& ip : ips) {
    agent::TrafficLine line;
    line.type = 1;
    line.scanner = 1;
    line.count = 1;
    line.ip = ip;
    counting.observe(line, 1800000000, block);
  }
  return (rssKb() - before) * 1024.0 / static_cast<double>(keys);
}

struct Phase {
  long long sent = 0, counted = 0, bursts = 0;
  double elapsed = 0, cpu = 0;
};

// One run of the load: the twenty persistent connections write their lines
// in 60 KB writes, or each line on its own as the daemon's workers do.
Phase runPhase(pid_t agentPid, double runFor, bool linePerWrite) {
  std::atomic<bool> stop{false};
  std::atomic<long long> sent{0}, bursts{0};
  std::vector<std::thread> threads;
  const long long before = scrapeLines();
  const double cpuBefore = cpuSeconds(agentPid), start = seconds();
  for (int t = 0; t < kPersistent; ++t) {
    threads.emplace_back([&, t] {
      std::string block = lineBlock(static_cast<uint32_t>(t) * 5000, 1500, 1, 1);
      int fd = connectLocal(kPort);
      while (fd >= 0 && !stop) {
        if (!linePerWrite) {
          if (!sendAll(fd, block)) break;
          sent += 1500;
          continue;
        }
        for (size_t at = 0, lf; !stop && (lf = block.find('\n', at)) != std::string::npos; at = lf + 1) {
          if (!sendAll(fd, block.substr(at, lf + 1 - at))) break;
          ++sent;
        }
      }
      if (fd >= 0) close(fd);
    });
  }
  threads.emplace_back([&] {
    std::string report = lineBlock(7, 200, 2, 5);
    while (!stop) {
      int fd = connectLocal(kPort);
      if (fd >= 0 && sendAll(fd, report)) sent += 200, ++bursts;
      if (fd >= 0) close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(runFor));
  stop = true;
  for (auto& t : threads) t.join();
  Phase p;
  p.sent = sent;
  for (int i = 0; i < 600 && (p.counted = scrapeLines() - before) < p.sent; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  p.elapsed = seconds() - start;
  p.cpu = cpuSeconds(agentPid) - cpuBefore;
  p.bursts = bursts;
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: agent-bench AGENT_BIN [SECONDS] [KEYS]\n");
    return 2;
  }
  const double runFor = argc > 2 ? atof(argv[2]) : 10;
  const size_t keys = argc > 3 ? strtoul(argv[3], nullptr, 10) : 1000000;
  privateNetwork();
  std::string home = scratchHome();
  pid_t agentPid = fork();
  if (agentPid == 0) {
    setenv("KELP_HOME", home.c_str(), 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl(argv[1], "keelgate-agent", "-f", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 100 && scrapeLines() < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));

  Phase bulk = runPhase(agentPid, runFor, false);
  Phase single = runPhase(agentPid, runFor, true);
  kill(agentPid, SIGTERM);
  waitpid(agentPid, nullptr, 0);
  std::filesystem::remove_all(home);

  double perKey = bytesPerKey(keys);
  printf("%-44s %16s %16s\n", "measure", "lines in bulk", "a line a write");
  printf("%-44s %16.0f %16.0f\n", "lines/s counted (20 persistent + bursts)", bulk.counted / bulk.elapsed,
         single.counted / single.elapsed);
  printf("%-44s %16lld %16lld\n", "lines sent", bulk.sent, single.sent);
  printf("%-44s %16lld %16lld\n", "lines counted", bulk.counted, single.counted);
  printf("%-44s %16lld %16lld\n", "child report connections", bulk.bursts, single.bursts);
  printf("%-44s %16.3f %16.3f\n", "agent CPU per line (microseconds)", bulk.cpu * 1e6 / bulk.counted,
         single.cpu * 1e6 / single.counted);
  printf("%-44s %16.1f\n", ("memory per key at " + std::to_string(keys) + " keys (bytes)").c_str(), perKey);
  return bulk.counted == bulk.sent && single.counted == single.sent ? 0 : 1;
}
