// The worker loop: set up one worker, then serve policy requests one at a
// time (accept, reload if flagged, one read, answer, one write, close) until
// a stop signal ends it.
#ifndef KEELGATE_DAEMON_WORKER_H
#define KEELGATE_DAEMON_WORKER_H

// Worker `index` (0..19) on the listening socket `listenFd`. Returns after a
// stop signal.
void AcceptAndVerify(int index, int listenFd);

#endif
