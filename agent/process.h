// The agent as a process: detaching with a report of how the start went (so
// that `keelgate-agent` exits non-zero when the detached agent could not
// start), the pid file bin/keelgate-agent.pid, and the descriptor limit.
// Start-up thread only, before the event loop exists.
#ifndef KEELGATE_AGENT_PROCESS_H
#define KEELGATE_AGENT_PROCESS_H

#include <string>

namespace agent {

// Forks twice with a new session between. The first process waits for the
// detached one's report and exits with it (1 when it ends without one);
// only the detached process returns, with the descriptor to report on.
// Standard input, output and error become /dev/null.
int detach();
// Tells the waiting first process that the start succeeded (status 0).
// Nothing for a descriptor below 0 (a start in the foreground).
void reportStarted(int fd);

// Writes this process's pid to `path`. A file naming a live keelgate-agent
// fails it ("already runs as pid N"); a stale one is replaced.
bool claimPidFile(const std::string& path, std::string& problem);
// Removes the pid file when it still names this process.
void releasePidFile(const std::string& path);

// Raises the soft limit of open descriptors to the hard limit.
void raiseDescriptorLimit();

}  // namespace agent

#endif
