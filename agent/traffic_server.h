// The agent port: accepts connections on the listening sockets it is given,
// lets in loopback peers and the children's addresses, closes any other peer
// at once (counted, and logged at most once a second), and runs a
// TrafficConnection for each peer let in. A child's report connection that
// stays silent for a minute is closed; the daemon's own connections are
// persistent and are never timed out (closing one would lose the next line
// the daemon writes into it). At most kMaxConnections are open at once.
//
// Event loop thread only.
#ifndef KEELGATE_AGENT_TRAFFIC_SERVER_H
#define KEELGATE_AGENT_TRAFFIC_SERVER_H

#include <time.h>

#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "agent/asio.h"
#include "agent/metrics.h"
#include "agent/net_address.h"
#include "agent/traffic_connection.h"

namespace agent {

class TrafficServer {
 public:
  static constexpr size_t kMaxConnections = 4096;

  TrafficServer(asio::io_context& io, AgentMetrics& metrics, LineHandler handler);
  ~TrafficServer();
  TrafficServer(const TrafficServer&) = delete;
  TrafficServer& operator=(const TrafficServer&) = delete;

  void setPeerFilter(const PeerFilter& filter) { filter_ = filter; }
  // Serves the listening descriptor `fd` (named `name` in the log).
  void listen(int fd, const std::string& name);
  // Closes the listening sockets and every connection.
  void stop();

 private:
  struct Listener {
    asio::ip::tcp::acceptor acceptor;
    std::string name;
  };
  void accept(Listener& listener);
  void admit(asio::ip::tcp::socket socket);
  void refuse(asio::ip::tcp::socket& socket, const std::string& peer, const char* why);
  void sweepIdle();

  asio::io_context& io_;
  AgentMetrics& metrics_;
  LineHandler handler_;
  PeerFilter filter_;
  std::list<Listener> listeners_;
  // Connections by address; `child` ones are timed out when silent.
  struct Entry {
    std::shared_ptr<TrafficConnection> connection;
    bool child;
  };
  std::unordered_map<TrafficConnection*, Entry> connections_;
  asio::steady_timer sweep_;
  time_t lastRefusedLog_ = 0;
  unsigned long refusedSinceLog_ = 0;
  bool stopped_ = false;
};

}  // namespace agent

#endif
