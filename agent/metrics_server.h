// The HTTP endpoint of the metrics: GET /metrics answers the Prometheus
// text of the moment; any other path 404, any other method 405. One request
// per connection, a request head of at most 4 KB, five seconds to send it;
// at most 16 scrapes at once. Event loop thread only.
#ifndef KEELGATE_AGENT_METRICS_SERVER_H
#define KEELGATE_AGENT_METRICS_SERVER_H

#include <functional>
#include <memory>
#include <string>

#include "agent/asio.h"

namespace agent {

class MetricsServer {
 public:
  // `render` makes the text of one scrape.
  MetricsServer(asio::io_context& io, std::function<std::string()> render);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Serves the listening descriptor `fd`.
  void listen(int fd, const std::string& name);
  void stop();

 private:
  class Exchange;
  void accept();

  asio::io_context& io_;
  std::function<std::string()> render_;
  asio::ip::tcp::acceptor acceptor_;
  std::string name_;
  std::shared_ptr<int> open_;  // exchanges in progress; shared with them
};

}  // namespace agent

#endif
