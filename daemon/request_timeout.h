// How long a worker waits for a client's request. Postfix writes its request
// right after it connects, so a connection that stays silent is not an MTA;
// without a bound, twenty such connections would hold every worker and no
// mail would flow. The bound is kelp.ini [keelgate] request_timeout, in
// seconds (default 2; 0 waits for ever). It applies twice: the listening
// sockets defer accept until the first bytes arrive or the bound passes (a
// silent client costs no worker meanwhile), and a worker then waits at most
// that long for the bytes. A request therefore waits at most about twice the
// bound behind silent clients.
#ifndef KEELGATE_DAEMON_REQUEST_TIMEOUT_H
#define KEELGATE_DAEMON_REQUEST_TIMEOUT_H

#include <string>

const int kDefaultRequestTimeout = 2;

// The configured bound from the process's settings (g_cfg_kelp_onmem): the
// default when the key is missing; `current` (what a reload had) when
// kelp.ini could not be read or the value is not a whole number of seconds
// from 0 to 3600, which is logged.
int requestTimeoutSeconds(int current = kDefaultRequestTimeout);

// Reads a request_timeout value; false when it is not one.
bool parseRequestTimeout(const std::string& text, int& seconds);

// Waits until `fd` has bytes to read, for at most `seconds` (0: no limit). A
// reload or agent signal does not cut the wait short; a stop does. False on
// timeout or stop.
bool waitForRequest(int fd, int seconds);

#endif
