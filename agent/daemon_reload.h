// Telling the local daemon to reload (it then reads the blocks file and the
// database's blocks): SIGHUP to the process named by bin/keelgate.pid, but
// only when that process is keelgate, so a stale pid file never signals an
// unrelated process that took the number over. Called on the event loop
// thread; a few small reads of /proc, no waiting.
#ifndef KEELGATE_AGENT_DAEMON_RELOAD_H
#define KEELGATE_AGENT_DAEMON_RELOAD_H

#include <sys/types.h>

#include <string>

namespace agent {

// The name of the daemon's program, as /proc shows it.
extern const char kDaemonProgram[];

// True when `pid` runs the program `program`: the base name of
// /proc/PID/exe, or, when that link may not be read (a process that changed
// its user is not dumpable), /proc/PID/comm.
bool processRuns(pid_t pid, const std::string& program);

// Sends SIGHUP to the daemon of `home`. True when it was sent; else
// `problem` says why (no pid file, not keelgate, kill failed).
bool reloadDaemon(const std::string& home, std::string& problem);

}  // namespace agent

#endif
