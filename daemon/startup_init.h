// One-time start-up work of the main process, before the pid file is claimed:
// the log from the gateway settings, the cipher tables from `openssl`, and the
// workers' reload flag files. initLog is run again by a worker on reload.
#ifndef KEELGATE_DAEMON_STARTUP_INIT_H
#define KEELGATE_DAEMON_STARTUP_INIT_H

// 0 when the log, both cipher tables and the flag files are ready; -1 at the
// first failure.
int init();

// Sets up (reinit false) or re-reads (reinit true) the process log: sink from
// config/kelp.ini, threshold from the "tls_log_level" setting. 0 on success;
// on failure the log keeps its previous sink and threshold.
int initLog(bool reinit);

#endif
