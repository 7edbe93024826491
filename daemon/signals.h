// Every signal the daemon handles, in one place. Handlers only set atomic
// flags; the work they stand for runs on the worker's accepting thread in
// runSignalWork(), which the worker loop calls whenever accept or a request
// returns. The listening sockets carry a receive timeout, so a blocked accept
// returns at least once a second even when no signal interrupts it.
//
//   SIGHUP                  reload         flag files of all twenty workers
//   SIGUSR1                 serverMonitor  g_server_close: renew the agent link
//   SIGINT, SIGQUIT, SIGTERM stop          log, flush blocked items, g_stop
//
// SIGHUP and SIGUSR1 restart interrupted calls; the stop signals do not, so a
// stop ends a blocked accept at once. SIGPIPE is ignored: a client that went
// away costs a failed write, not the worker.
#ifndef KEELGATE_DAEMON_SIGNALS_H
#define KEELGATE_DAEMON_SIGNALS_H

#include <functional>

void reload(int);
void serverMonitor(int);
void stop(int);

// Main process, before forking: SIGHUP, SIGUSR1 and SIGPIPE.
void installProcessSignals();
// Each worker at set-up: the stop signals.
void installStopHandler();
// Blocks the daemon's signals in the calling thread (for background threads,
// so that signals reach the accepting thread).
void blockDaemonSignals();

// True when a stop signal has arrived and its work is still to be done.
bool stopPending();

// Carries out what the handlers flagged: the flag files of a SIGHUP and, for
// a stop, the two stop lines, then `flushBlocked`, then g_stop.
void runSignalWork(const std::function<void()>& flushBlocked);

#endif
