// One-time start-up work of the main process: before the pid file is claimed,
// the log from the gateway settings, the cipher tables from `openssl`, the
// workers' reload flag files and the service account; once the ports are
// bound, the hand-over of root's files and the drop to the account, before
// the workers are forked. initLog is run again by a worker on reload.
#ifndef KEELGATE_DAEMON_STARTUP_INIT_H
#define KEELGATE_DAEMON_STARTUP_INIT_H

#include "host/base/service_account.h"

// 0 when the log, both cipher tables and the flag files are ready; -1 at the
// first failure.
int init();

// Sets up (reinit false) or re-reads (reinit true) the process log: sink from
// config/kelp.ini, threshold from the "tls_log_level" setting. 0 on success;
// on failure the log keeps its previous sink and threshold.
int initLog(bool reinit);

// Finds the account the pool runs as (KELP::kServiceAccount). Without it the
// daemon does not start, whoever starts it: false, logged, naming it.
bool lookUpServiceAccount(KELP::ServiceAccount& account);

// Logs a line when config/odbc.ini, which holds the database password, can
// be read by every user.
void warnOfReadableDatabaseLogin();

// Gives the account the files root made for the pool: the log (a worker
// reopens it after a rotation), the pid file (the agent reads it), the flag
// files and, when there is one, the answer-counters file. A file that cannot
// be handed over is logged; the start goes on.
void handOverToServiceAccount(const KELP::ServiceAccount& account);

// Drops root for good (see KELP::dropToServiceAccount) and checks that bin/
// and log/ are writable by whoever the process now is. False, logged, when
// the pool must not start.
bool dropPrivileges(const KELP::ServiceAccount& account);

#endif
