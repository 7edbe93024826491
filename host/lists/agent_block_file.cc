#include "host/lists/agent_block_file.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "host/config/config_file_on_disk.h"
#include "host/log/log.h"

namespace KELP {

namespace {

// Splits a line at its TABs into exactly four fields.
bool splitFields(const std::string& line, std::string (&fields)[4]) {
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t tab = i < 3 ? line.find('\t', start) : std::string::npos;
    if (i < 3 && tab == std::string::npos) return false;
    fields[i] = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
    start = tab + 1;
  }
  return fields[3].find('\t') == std::string::npos;
}

bool parseBlock(const std::string& line, AutoBlock& block) {
  std::string f[4];
  if (!splitFields(line, f) || f[0].size() != 1 || f[0][0] < '1' || f[0][0] > '3' || f[3].empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long expiration = strtoll(f[3].c_str(), &end, 10);
  if (*end != '\0' || errno != 0) return false;
  block.type = f[0][0] - '0';
  block.ip = f[1];
  block.sender = f[2];
  block.expiration = expiration;
  return block.type == 2 ? !block.sender.empty() : !block.ip.empty();
}

}  // namespace

std::string agentBlockFilePath(const std::string& home) { return home + "/bin/keelgate-agent.blocks"; }

void readAgentBlockFile(const std::string& home, std::vector<AutoBlock>& blocks) {
  std::string path = agentBlockFilePath(home);
  std::string text;
  if (!readWholeFile(path, text)) {
    if (errno != ENOENT)
      Log::LogByLevel(LOG_NORMAL, "automatic blocks of the agent [%s]: cannot read them (%s)", path.c_str(),
                      strerror(errno));
    return;
  }
  size_t start = 0;
  for (int lineNo = 1; start < text.size(); ++lineNo) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    start = nl == std::string::npos ? text.size() : nl + 1;
    AutoBlock block;
    if (parseBlock(line, block))
      blocks.push_back(block);
    else
      Log::LogByLevel(LOG_NORMAL, "automatic blocks of the agent [%s] line %d: malformed, skipped: [%.100s]",
                      path.c_str(), lineNo, line.c_str());
  }
}

}  // namespace KELP
