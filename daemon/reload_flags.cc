#include "daemon/reload_flags.h"

#include <fcntl.h>
#include <unistd.h>

#include "daemon/globals.h"

std::string flagFilePath(int index) { return g_kelp_home + "/bin/keelgate.r" + std::to_string(index); }

int init_policy_load_flag() {
  int result = 0;
  for (int i = 0; i < kWorkerCount; ++i) {
    std::string path = flagFilePath(i);
    if (access(path.c_str(), F_OK) == 0) continue;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      result = -1;
      continue;
    }
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
