#include "agent/blocks_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "host/config/config_file_on_disk.h"
#include "host/log/log.h"

namespace agent {

std::string blocksFilePath(const std::string& home) { return home + "/bin/keelgate-agent.blocks"; }

bool writeBlocksFile(const std::string& home, const BlockSet& blocks, std::string& problem) {
  const std::string path = blocksFilePath(home);
  const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
  const std::string text = blocks.fileText();
  unlink(temporary.c_str());  // a leftover of an earlier run with this pid
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0) {
    problem = "open " + temporary + ": " + strerror(errno);
    return false;
  }
  bool ok = KELP::writeAll(fd, text.data(), text.size()) && fsync(fd) == 0;
  int saved = errno;
  close(fd);
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
  if (ok) saved = errno;
  problem = "write " + path + ": " + strerror(saved);
  unlink(temporary.c_str());
  return false;
}

void readBlocksFile(const std::string& home, time_t now, BlockSet& blocks) {
  const std::string path = blocksFilePath(home);
  std::string text;
  if (!KELP::readWholeFile(path, text)) {
    if (errno != ENOENT)
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "cannot read the blocks file %s: %s", path.c_str(), strerror(errno));
    return;
  }
  size_t before = blocks.size();
  size_t bad = blocks.readFileText(text, now);
  if (bad > 0) KELP::Log::LogByLevel(KELP::LOG_NORMAL, "blocks file %s: %zu unreadable lines skipped", path.c_str(), bad);
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "blocks file %s: %zu blocks still in force", path.c_str(),
                        blocks.size() - before);
}

}  // namespace agent
