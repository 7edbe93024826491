// The worker's long-lived connection to this scanner's SMTP agent: each
// traffic observation becomes one traffic line, and lines go out together in
// one send after the client has its answer, so the MTA never waits on the
// agent. The worker decides when: after a request when no other client
// waits and its last send is a few dozen milliseconds old, at the
// listener's wake within a second, else once the batch passes kMaxBatch.
// Owns only the connection and its reconnect rule (at most one new
// connection and two sends per batch; a batch that fails twice is dropped
// and logged). Used by the accepting thread only; no failure reaches the
// caller.
//
// States of sockFd: 0 constructed (never used by the daemon), -1 initialised
// or closed on request (the next line reconnects and is logged with "retry"
// wording), a connected socket, or a half-made one whose connect failed (the
// next send on it fails, then the line reconnects).
//
// Bounds: a hung agent must not hold the worker from its next client.
// Connect is non-blocking with a 1 s deadline and sends time out after 200 ms
// (SO_SNDTIMEO), so a batch costs at most about 1.4 s. A timed-out send is an
// ordinary failure: reconnect and try once more.
//
// The close flag is a std::atomic<bool> rather than a plain bool: the SIGUSR1
// handler may run on any thread of the worker and sets it there, and an
// atomic is the one type both the handler and this thread may touch.
#ifndef KEELGATE_THROTTLING_SMTP_CONN_LONG_TCP_CONN_CLIENT_H
#define KEELGATE_THROTTLING_SMTP_CONN_LONG_TCP_CONN_CLIENT_H

#include <netinet/in.h>

#include <atomic>
#include <string>

#include "throttling/conn_traffic_item.h"

class SmtpConnLongTcpConnClient {
 public:
  SmtpConnLongTcpConnClient();
  virtual ~SmtpConnLongTcpConnClient();
  SmtpConnLongTcpConnClient(const SmtpConnLongTcpConnClient&) = delete;
  SmtpConnLongTcpConnClient& operator=(const SmtpConnLongTcpConnClient&) = delete;

  // Sets the agent's address (inet_addr of host, not validated; the port's
  // low 16 bits) without connecting. Returns 0.
  int init(std::string host, int port);

  // Adds one observation's line (count 1) to the batch; past kMaxBatch bytes
  // the batch goes out, so it never grows without bound.
  void queueTrafficLog(const RawConnTrafficItem& item, std::atomic<bool>& closeFlag);

  // Sends the batch, if any. A set closeFlag (the agent asked us to drop the
  // connection) is consumed: the connection is closed and the batch goes out
  // on a new one.
  void flush(std::atomic<bool>& closeFlag);

  // A few dozen requests' lines, well within the socket's buffer.
  static const size_t kMaxBatch = 4096;

  // Whether lines wait for a send.
  bool hasQueuedLines() const { return !batch_.empty(); }

  // The current descriptor, for inspection.
  int fd() const { return sockFd; }

 private:
  // True when sockFd is a descriptor this client opened.
  bool ownsSocket() const { return ownsFd_ && sockFd >= 0; }
  void closeSocket();
  void reconnectAndSend();

  struct sockaddr_in serverAddress;
  int sockFd;
  // Keeps the constructed state's 0 from being taken for our socket: fd 0 is
  // stdin unless the process closed it, and must be neither written nor closed.
  bool ownsFd_ = false;
  std::string batch_;  // whole lines, each ending with its line feed
};

#endif
