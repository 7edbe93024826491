// The database work of the agent, as whole jobs for the store thread: each
// opens the connection once, runs the operations of SmtpConnTrafficList it
// needs, and says whether the database could be reached and how many
// operations failed. They run on the store thread only; their inputs are
// copies made on the event loop, their results go back to it.
#ifndef KEELGATE_AGENT_STORE_JOBS_H
#define KEELGATE_AGENT_STORE_JOBS_H

#include <stdint.h>

#include <vector>

#include "agent/block_set.h"
#include "agent/rule_counter.h"
#include "agent/rules.h"

class SmtpConnTrafficList;

namespace agent {

struct DbOutcome {
  bool reachable = false;  // the connection could be made
  int errors = 0;          // operations that failed (the connection included)
};

// Each rule's counts, as RuleCounter::snapshot gives them.
struct StoredCounts {
  std::vector<RuleCounter::Stored> rows[kRuleCount];
};

struct BlocksStored : DbOutcome {
  std::vector<Block> stored, failed;
  bool versionRaised = false;
};
// Stores each block with its system event, then raises the version number
// once when any was stored (or `raiseVersion` asks for it anyway).
BlocksStored storeBlocks(SmtpConnTrafficList& db, const std::vector<Block>& blocks, bool raiseVersion);

struct ExpirySwept : DbOutcome {
  bool anyExpired = false;
};
// Writes the system events of the expired blocks and deletes them; raises
// the version number when any expired.
ExpirySwept sweepExpiredBlocks(SmtpConnTrafficList& db);

// Replaces the stored aggregated rows of each rule with `counts`.
DbOutcome storeCounts(SmtpConnTrafficList& db, const StoredCounts& counts, int64_t scannerId);

struct CountsLoaded : DbOutcome {
  StoredCounts counts;
};
// The stored aggregated rows of every scanner.
CountsLoaded loadCounts(SmtpConnTrafficList& db);

struct VersionRead : DbOutcome {
  int version = 0;  // 0 also when it could not be read
};
VersionRead readVersion(SmtpConnTrafficList& db);

}  // namespace agent

#endif
