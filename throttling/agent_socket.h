// TCP plumbing shared by the senders of traffic lines (the reports to the
// parent's agent, the one-shot and the long-lived local agent clients). It
// owns no state and logs nothing: callers log with their own wording.
//
// Bounds: a blocking connect() or send() can wait for minutes on an agent
// that hangs (never accepts, never reads). Here connect is non-blocking with a
// deadline and sends carry SO_SNDTIMEO, so such an agent delays the calling
// thread by a bounded time instead of stalling it.
//
// Every socket is close-on-exec (the openssl child must not inherit it) and
// every send uses MSG_NOSIGNAL, so a closed peer gives EPIPE, not SIGPIPE.
#ifndef KEELGATE_THROTTLING_AGENT_SOCKET_H
#define KEELGATE_THROTTLING_AGENT_SOCKET_H

#include <netinet/in.h>
#include <sys/types.h>

#include <string>

namespace agent_socket {

// IPv4 address of an agent: inet_addr(host) unvalidated (an unparsable host
// becomes 255.255.255.255 and fails at connect), the port's low 16 bits.
struct sockaddr_in peerAddress(const std::string& host, int port);

// A close-on-exec TCP socket whose sends time out after sendTimeoutMs; the
// result of socket() (-1 on failure, errno set).
int openTcp(int sendTimeoutMs);

// Connects within timeoutMs. Returns 0, or -1 with errno saying why
// (ETIMEDOUT when the deadline passed). A socket whose connect failed is left
// unconnected and blocking, so a later send on it fails at once.
int connectWithin(int fd, const struct sockaddr_in& peer, int timeoutMs);

// True when the peer of a connected socket has closed or reset it. The first
// send after an agent hung up would still "succeed" and the line be lost, so
// the long-lived client asks before it sends.
bool peerClosed(int fd);

// One send of the whole string with MSG_NOSIGNAL; send()'s result.
ssize_t sendLine(int fd, const std::string& line);

}  // namespace agent_socket

#endif
