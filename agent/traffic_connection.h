// One peer's connection to the agent port: reads whatever the peer sends,
// cuts it into bounded lines and hands each to the server's line handler. A
// bad line is counted and logged (at most one log line a minute per
// connection); the connection stays open. Nothing is ever written back.
//
// Event loop thread only. The connection keeps itself alive through its
// pending read and tells its server when it has closed.
#ifndef KEELGATE_AGENT_TRAFFIC_CONNECTION_H
#define KEELGATE_AGENT_TRAFFIC_CONNECTION_H

#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "agent/asio.h"
#include "agent/line_assembler.h"
#include "agent/metrics.h"

namespace agent {

// Null for a line that was taken, else why it was not.
typedef std::function<const char*(std::string_view line)> LineHandler;

class TrafficConnection : public std::enable_shared_from_this<TrafficConnection>, private LineAssembler::Sink {
 public:
  TrafficConnection(asio::ip::tcp::socket socket, std::string peer, const LineHandler& handler,
                    AgentMetrics& metrics, std::function<void(TrafficConnection*)> closed);
  void start();
  void close();

  const std::string& peer() const { return peer_; }
  time_t lastActive() const { return lastActive_; }

 private:
  void read();
  void line(std::string_view text) override;
  void tooLong() override;
  void bad(const char* why, std::string_view text);

  asio::ip::tcp::socket socket_;
  const std::string peer_;  // "address:port", for the log
  const LineHandler& handler_;
  AgentMetrics& metrics_;
  std::function<void(TrafficConnection*)> closed_;
  LineAssembler lines_;
  char buffer_[16384];
  time_t lastActive_ = 0;
  time_t lastBadLog_ = 0;
  unsigned long badSinceLog_ = 0;
  bool open_ = true;
};

}  // namespace agent

#endif
