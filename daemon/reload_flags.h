// Reload flag files bin/keelgate.r0 .. r19: one per worker. Their presence is
// the whole message; each worker removes its own at start and when it reloads
// at its next accepted connection.
#ifndef KEELGATE_DAEMON_RELOAD_FLAGS_H
#define KEELGATE_DAEMON_RELOAD_FLAGS_H

#include <string>

const int kWorkerCount = 20;

// <g_kelp_home>/bin/keelgate.r<index>, whatever the length of g_kelp_home.
std::string flagFilePath(int index);

// Creates every missing flag file (mode 0600), as root owned by the service
// account. 0 when every creation it tried succeeded, -1 otherwise; existing
// files are left alone.
int init_policy_load_flag();

// Removes a worker's flag file and logs whether it is gone; `when` is "init"
// or "reload".
void removeFlagFile(const std::string& path, const char* when);

#endif
