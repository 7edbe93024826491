// Listening TCP sockets, opened as plain descriptors before the agent
// detaches and drops root, so that a port in use fails the start with a
// non-zero exit, and handed to Asio afterwards. Start-up thread only.
#ifndef KEELGATE_AGENT_LISTEN_SOCKET_H
#define KEELGATE_AGENT_LISTEN_SOCKET_H

#include <string>

#include "agent/asio.h"

namespace agent {

// A listening socket on host:port (IPv4 or IPv6 address), close-on-exec.
// -1, with `problem` naming the address and the error, when it cannot be
// opened.
int openListenSocket(const std::string& host, int port, std::string& problem);

// Hands such a descriptor to `acceptor`, with the protocol of its address
// family; `error` is set when Asio refuses it.
void adoptListenSocket(asio::ip::tcp::acceptor& acceptor, int fd, asio::error_code& error);

}  // namespace agent

#endif
