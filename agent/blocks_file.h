// The blocks file on disk, bin/keelgate-agent.blocks (its lines: see
// block_set.h): written whole under a temporary name in bin/ and renamed
// into place, so the daemon never reads half a file; read back when the
// agent starts. Event loop thread (and start-up) only.
#ifndef KEELGATE_AGENT_BLOCKS_FILE_H
#define KEELGATE_AGENT_BLOCKS_FILE_H

#include <time.h>

#include <string>

#include "agent/block_set.h"

namespace agent {

std::string blocksFilePath(const std::string& home);

// Replaces the file with the blocks of `blocks`. False, with `problem`,
// when it cannot (the old file then stays).
bool writeBlocksFile(const std::string& home, const BlockSet& blocks, std::string& problem);

// Adds the blocks of the file still in force at `now`; a missing file adds
// nothing. Unreadable lines are logged and skipped.
void readBlocksFile(const std::string& home, time_t now, BlockSet& blocks);

}  // namespace agent

#endif
