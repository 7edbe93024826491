#include "agent/metrics_server.h"

#include <chrono>

#include "agent/listen_socket.h"
#include "host/log/log.h"

namespace agent {

namespace {

const size_t kMaxHead = 4096;
const auto kRequestTime = std::chrono::seconds(5);
const int kMaxOpen = 16;

std::string response(const char* status, const char* type, const std::string& body) {
  return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

// One scrape: read the head, answer, close; a deadline ends a slow one.
class MetricsServer::Exchange : public std::enable_shared_from_this<Exchange> {
 public:
  Exchange(asio::ip::tcp::socket socket, const std::function<std::string()>& render, std::shared_ptr<int> open)
      : socket_(std::move(socket)), render_(render), open_(std::move(open)), deadline_(socket_.get_executor()),
        head_(kMaxHead) {
    ++*open_;
  }
  ~Exchange() { --*open_; }

  void start() {
    auto self = shared_from_this();
    deadline_.expires_after(kRequestTime);
    deadline_.async_wait([self](const asio::error_code& error) {
      if (!error) self->close();
    });
    asio::async_read_until(socket_, head_, "\r\n\r\n", [self](const asio::error_code& error, size_t) {
      if (error) return self->close();
      self->answer();
    });
  }

 private:
  void answer() {
    std::istream in(&head_);
    std::string method, target;
    in >> method >> target;
    if (method != "GET")
      reply_ = response("405 Method Not Allowed", "text/plain", "GET only\n");
    else if (target == "/metrics" || target.compare(0, 9, "/metrics?") == 0)
      reply_ = response("200 OK", "text/plain; version=0.0.4; charset=utf-8", render_());
    else
      reply_ = response("404 Not Found", "text/plain", "try /metrics\n");
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(reply_), [self](const asio::error_code&, size_t) { self->close(); });
  }
  void close() {
    asio::error_code ignored;
    deadline_.cancel();
    socket_.close(ignored);
  }

  asio::ip::tcp::socket socket_;
  const std::function<std::string()>& render_;
  std::shared_ptr<int> open_;
  asio::steady_timer deadline_;
  asio::streambuf head_;
  std::string reply_;
};

MetricsServer::MetricsServer(asio::io_context& io, std::function<std::string()> render)
    : io_(io), render_(std::move(render)), acceptor_(io), open_(std::make_shared<int>(0)) {}

MetricsServer::~MetricsServer() { stop(); }

void MetricsServer::listen(int fd, const std::string& name) {
  asio::error_code error;
  adoptListenSocket(acceptor_, fd, error);
  if (error) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "cannot serve metrics on %s: %s", name.c_str(), error.message().c_str());
    return;
  }
  name_ = name;
  accept();
}

void MetricsServer::accept() {
  acceptor_.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {
      // Out of descriptors, say: try again in a moment, not at once.
      auto pause = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(100));
      pause->async_wait([this, pause](const asio::error_code& e) {
        if (!e && acceptor_.is_open()) accept();
      });
      return;
    }
    {
      if (*open_ >= kMaxOpen) {
        asio::error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Exchange>(std::move(socket), render_, open_)->start();
      }
    }
    accept();
  });
}

void MetricsServer::stop() {
  asio::error_code ignored;
  acceptor_.close(ignored);
}

}  // namespace agent
