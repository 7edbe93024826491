#include "agent/traffic_server.h"

#include <chrono>

#include "agent/listen_socket.h"
#include "host/base/clock.h"
#include "host/log/log.h"

namespace agent {

namespace {

const time_t kChildIdleSeconds = 60;
const auto kSweepEvery = std::chrono::seconds(15);
// After a failed accept (out of descriptors, say), the next one waits this long.
const auto kAcceptPause = std::chrono::milliseconds(100);

IpAddress toIpAddress(const asio::ip::address& a) {
  IpAddress out;
  if (a.is_v4()) {
    auto bytes = a.to_v4().to_bytes();
    std::copy(bytes.begin(), bytes.end(), out.bytes);
  } else {
    out.v6 = true;
    auto bytes = a.to_v6().to_bytes();
    std::copy(bytes.begin(), bytes.end(), out.bytes);
  }
  return out;
}

}  // namespace

TrafficServer::TrafficServer(asio::io_context& io, AgentMetrics& metrics, LineHandler handler)
    : io_(io), metrics_(metrics), handler_(std::move(handler)), sweep_(io) {
  sweepIdle();
}

TrafficServer::~TrafficServer() { stop(); }

void TrafficServer::listen(int fd, const std::string& name) {
  asio::error_code error;
  asio::ip::tcp::acceptor acceptor(io_);
  adoptListenSocket(acceptor, fd, error);
  if (error) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "cannot serve %s: %s", name.c_str(), error.message().c_str());
    return;
  }
  listeners_.push_back(Listener{std::move(acceptor), name});
  accept(listeners_.back());
}

void TrafficServer::accept(Listener& listener) {
  listener.acceptor.async_accept([this, &listener](const asio::error_code& error, asio::ip::tcp::socket socket) {
    if (stopped_ || error == asio::error::operation_aborted) return;
    if (error) {
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "accept on %s: %s", listener.name.c_str(), error.message().c_str());
      auto pause = std::make_shared<asio::steady_timer>(io_, kAcceptPause);
      pause->async_wait([this, &listener, pause](const asio::error_code& e) {
        if (!e && !stopped_) accept(listener);
      });
      return;
    }
    admit(std::move(socket));
    accept(listener);
  });
}

void TrafficServer::admit(asio::ip::tcp::socket socket) {
  asio::error_code error;
  asio::ip::tcp::endpoint remote = socket.remote_endpoint(error);
  if (error) return;  // gone already
  std::string peer = remote.address().to_string() + ":" + std::to_string(remote.port());
  IpAddress address = toIpAddress(remote.address());
  if (!filter_.allows(address)) {
    refuse(socket, peer, "not loopback nor a child's address");
    return;
  }
  if (connections_.size() >= kMaxConnections) {
    refuse(socket, peer, "too many connections");
    return;
  }
  auto connection = std::make_shared<TrafficConnection>(std::move(socket), peer, handler_, metrics_,
                                                        [this](TrafficConnection* gone) {
                                                          if (connections_.erase(gone) > 0) --metrics_.connections;
                                                        });
  connections_[connection.get()] = Entry{connection, !address.loopback()};
  ++metrics_.connections;
  connection->start();
}

void TrafficServer::refuse(asio::ip::tcp::socket& socket, const std::string& peer, const char* why) {
  asio::error_code ignored;
  socket.close(ignored);
  ++metrics_.refusedConnections;
  ++refusedSinceLog_;
  time_t now = KELP::Clock::now();
  if (now == lastRefusedLog_) return;
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "refused the connection of %s (%s); %lu refused since the last such line",
                        peer.c_str(), why, refusedSinceLog_);
  lastRefusedLog_ = now;
  refusedSinceLog_ = 0;
}

void TrafficServer::sweepIdle() {
  sweep_.expires_after(kSweepEvery);
  sweep_.async_wait([this](const asio::error_code& error) {
    if (error || stopped_) return;
    time_t now = KELP::Clock::now();
    std::vector<std::shared_ptr<TrafficConnection>> idle;
    for (auto& entry : connections_)
      if (entry.second.child && now - entry.second.connection->lastActive() >= kChildIdleSeconds)
        idle.push_back(entry.second.connection);
    for (auto& connection : idle) connection->close();
    sweepIdle();
  });
}

void TrafficServer::stop() {
  if (stopped_) return;
  stopped_ = true;
  asio::error_code ignored;
  sweep_.cancel();
  for (Listener& l : listeners_) l.acceptor.close(ignored);
  std::vector<std::shared_ptr<TrafficConnection>> all;
  for (auto& entry : connections_) all.push_back(entry.second.connection);
  for (auto& connection : all) connection->close();
}

}  // namespace agent
