// The automatic blocks that the local SMTP agent decided, as it writes them
// to <home>/bin/keelgate-agent.blocks: one block a line,
// "TYPE<TAB>IP<TAB>SENDER<TAB>EXPIRATION" (types 1 and 3 block the IP, type 2
// the sender; EXPIRATION in seconds since the epoch). The daemon reads them
// at every load beside the database rows, so a block applies on this scanner
// even while no database is configured or reachable. Any thread.
#ifndef KEELGATE_HOST_LISTS_AGENT_BLOCK_FILE_H
#define KEELGATE_HOST_LISTS_AGENT_BLOCK_FILE_H

#include <string>
#include <vector>

#include "host/lists/smtp_conn_config.h"

namespace KELP {

// The file's path under the installation directory.
std::string agentBlockFilePath(const std::string& home);

// Appends the blocks of the file to `blocks`. A missing file holds none; a
// malformed line is logged with file and line number and skipped.
void readAgentBlockFile(const std::string& home, std::vector<AutoBlock>& blocks);

}  // namespace KELP

#endif
