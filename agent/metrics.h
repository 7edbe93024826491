// The agent's figures and their text for GET /metrics (the Prometheus text
// format): what Counting keeps per rule, what the server and the store keep
// here, and the daemon's answer counters read from bin/keelgate.counters at
// each scrape. Event loop thread only.
#ifndef KEELGATE_AGENT_METRICS_H
#define KEELGATE_AGENT_METRICS_H

#include <stdint.h>

#include <string>

#include "agent/counting.h"

namespace agent {

struct AgentMetrics {
  uint64_t badLines = 0;
  uint64_t refusedConnections = 0;
  uint64_t connections = 0;  // open now
  uint64_t blocksExpired = 0;
  uint64_t blocksPending = 0;  // decided, not yet in the database
  uint64_t reloadsSent = 0;
  uint64_t databaseErrors = 0;
  bool databaseUp = false;
};

// The whole scrape. `countersPath` is bin/keelgate.counters; when it cannot
// be opened its lines are left out.
std::string renderMetrics(const Counting& counting, const AgentMetrics& m, const std::string& countersPath);

}  // namespace agent

#endif
