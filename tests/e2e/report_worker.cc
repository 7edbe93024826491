#include "tests/e2e/report_worker.h"

#include <stdlib.h>

#include <map>

namespace e2e {

ReportWorker quickestReportWorker(const Installation& home) {
  ReportWorker best;
  if (!home.waitForLog("start send SMTP Traffic Throttling traffic log thread, sleep time is ", 5000, 20))
    return best;
  const std::string flagInit = "] debug Success to remove flag file [" + home.home() + "/bin/keelgate.r";
  const std::string sleep = "sleep time is ";
  std::map<pid_t, int> index, period;
  for (const auto& line : home.logLines()) {
    size_t at = line.find("keelgate[");
    if (at == std::string::npos) continue;
    pid_t pid = atoi(line.c_str() + at + 9);
    if ((at = line.find(flagInit)) != std::string::npos) index[pid] = atoi(line.c_str() + at + flagInit.size());
    if ((at = line.find(sleep)) != std::string::npos) period[pid] = atoi(line.c_str() + at + sleep.size());
  }
  for (const auto& p : period) {
    auto i = index.find(p.first);
    if (i == index.end() || i->second > 9) continue;
    if (best.pid < 0 || p.second < best.period) best = {p.first, i->second, p.second};
  }
  return best;
}

void configureScanner(const Installation& home, const char* role, const std::vector<const char*>& rules) {
  home.logAtDebugLevel();
  home.setKelpIni("kelp_manager", "role", role);
  home.setKelpIni("kelp_manager", "scanner_id", "7");
  for (const char* rule : rules) home.setKelpIni("smtp_traffic_throttling", rule, "yes");
  home.write("config/slave.nfo", std::string("[master]\nmaster_ip = ") + kParentAgentHost + "\n");
  home.write("config/odbc.ini", "[KELP]\nDriver = x\nServername = 127.0.0.1\nPort = " +
                                    std::to_string(kDatabasePort) + "\n");
}

void ReportingPool::startWithQuickestReporter() {
  ASSERT_EQ(-1, home.start());
  reporter = quickestReportWorker(home);
  ASSERT_LT(0, reporter.pid) << "no period found in the log";
  one.reset(new OneWorker(home, reporter.pid, reporter.index));
  ASSERT_TRUE(one->ready());
}

std::string inProcess(pid_t pid, const std::string& text) {
  return "keelgate[" + std::to_string(pid) + "] " + text;
}

}  // namespace e2e
