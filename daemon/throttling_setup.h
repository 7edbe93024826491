// Per-worker set-up of SMTP traffic throttling and its two background
// threads: the blocked-log thread (writes the blocked list to the CSV log at
// each record interval) and, on a child scanner, the traffic-log thread
// (reports counted traffic to the parent's SMTP agent every 10-19 s).
//
// The threads run with the daemon's signals blocked, so signals reach the
// accepting thread, and they sleep interruptibly: stopThrottlingThreads()
// wakes them and waits for them to end before the worker exits.
#ifndef KEELGATE_DAEMON_THROTTLING_SETUP_H
#define KEELGATE_DAEMON_THROTTLING_SETUP_H

// Loads the throttling configuration and hands its settings to the blocked
// list and the traffic list. False when the configuration failed to load; the
// configuration in force (none at worker start) then stays.
bool initSmtpConn();

// The report interval for a rule's counting interval v: 10 up to 59 s, v/10
// up to 1800 s, then `cap` (300 for the IP rule, 180 for the sender rule).
int sendIntervalFor(int countingInterval, int cap);

void* start_send_traffic_log(void*);
void* start_send_blocked_log(void*);

// Starts the blocked-log thread and, when this scanner is a child, the
// traffic-log thread; failures are logged and the worker goes on.
void startThrottlingThreads();

// Writes the pending blocked items when a counting rule is on (the stop's
// flush).
void flushBlockedOnStop();

// Ends the background threads: wakes them and waits for them, at most
// `waitMs` milliseconds.
void stopThrottlingThreads(int waitMs);

#endif
