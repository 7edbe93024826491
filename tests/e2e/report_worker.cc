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

std::string inProcess(pid_t pid, const std::string& text) {
  return "keelgate[" + std::to_string(pid) + "] " + text;
}

}  // namespace e2e
