#include "daemon/reload_flags.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "daemon/globals.h"
#include "host/base/service_account.h"

std::string flagFilePath(int index) { return g_kelp_home + "/bin/keelgate.r" + std::to_string(index); }

int init_policy_load_flag() {
  // Root (a start, or a second start while the pool runs) gives the files to
  // the account the workers run as: in the sticky bin/ a worker could not
  // remove root's file, and would reload at every connection.
  KELP::ServiceAccount account;
  std::string problem;
  bool give = geteuid() == 0 && KELP::lookupServiceAccount(KELP::kServiceAccount, account, problem);
  int result = 0;
  for (int i = 0; i < kWorkerCount; ++i) {
    std::string path = flagFilePath(i);
    if (access(path.c_str(), F_OK) == 0) continue;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      result = -1;
      continue;
    }
    if (give && fchown(fd, account.uid, account.gid) != 0)
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "cannot hand flag file [%s] to the account [%s]: %s", path.c_str(),
                            account.name.c_str(), strerror(errno));
    close(fd);
  }
  return result;
}

void removeFlagFile(const std::string& path, const char* when) {
  unlink(path.c_str());
  if (access(path.c_str(), F_OK) == 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "Failed to remove flag file [%s] when %s", path.c_str(), when);
  else
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "Success to remove flag file [%s] when %s", path.c_str(), when);
}
