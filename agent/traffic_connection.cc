#include "agent/traffic_connection.h"

#include "host/base/clock.h"
#include "host/log/log.h"

namespace agent {

namespace {

// Least time between two bad-line log lines of one connection.
const time_t kBadLogSeconds = 60;
// Bytes of a bad line shown in the log.
const size_t kShownBytes = 100;

}  // namespace

TrafficConnection::TrafficConnection(asio::ip::tcp::socket socket, std::string peer, const LineHandler& handler,
                                     AgentMetrics& metrics, std::function<void(TrafficConnection*)> closed)
    : socket_(std::move(socket)),
      peer_(std::move(peer)),
      handler_(handler),
      metrics_(metrics),
      closed_(std::move(closed)),
      lastActive_(KELP::Clock::now()) {}

void TrafficConnection::start() { read(); }

void TrafficConnection::close() {
  if (!open_) return;
  open_ = false;
  asio::error_code ignored;
  socket_.close(ignored);
  closed_(this);
}

void TrafficConnection::read() {
  auto self = shared_from_this();
  socket_.async_read_some(asio::buffer(buffer_), [self](const asio::error_code& error, size_t n) {
    if (!self->open_) return;
    if (error) {
      if (error != asio::error::eof && error != asio::error::operation_aborted)
        KELP::Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "traffic connection from %s: %s", self->peer_.c_str(),
                              error.message().c_str());
      self->close();
      return;
    }
    self->lastActive_ = KELP::Clock::now();
    self->lines_.feed(std::string_view(self->buffer_, n), *self);
    self->read();
  });
}

void TrafficConnection::line(std::string_view text) {
  const char* why = handler_(text);
  if (why != nullptr) bad(why, text);
}

void TrafficConnection::tooLong() { bad("line longer than 4096 bytes, dropped up to its line feed", {}); }

void TrafficConnection::bad(const char* why, std::string_view text) {
  ++metrics_.badLines;
  ++badSinceLog_;
  time_t now = KELP::Clock::now();
  if (lastBadLog_ != 0 && now - lastBadLog_ < kBadLogSeconds) return;
  if (KELP::Log::enabled(KELP::LOG_NORMAL)) {
    std::string shown(text.substr(0, kShownBytes));
    if (text.size() > shown.size()) shown += "...";
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "bad traffic line from %s (%s): [%s]; %lu bad lines on this connection since the last such log line",
                          peer_.c_str(), why, shown.c_str(), badSinceLog_);
  }
  lastBadLog_ = now;
  badSinceLog_ = 0;
}

}  // namespace agent
