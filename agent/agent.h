// The agent while it runs: the glue between the event loop and what the
// agent decides. It feeds each traffic line to Counting; applies each new
// block on this scanner (the blocks file, then SIGHUP to the daemon, a
// burst of blocks coalesced into one reload) and hands it to the database;
// runs the expire, store and poll ticks; and acts on the signals through
// asio::signal_set (its handler only wakes the loop): SIGTERM and SIGINT
// stop the loop, SIGHUP re-reads the settings.
//
// Event loop thread only.
#ifndef KEELGATE_AGENT_AGENT_H
#define KEELGATE_AGENT_AGENT_H

#include <time.h>

#include <memory>
#include <string>
#include <string_view>

#include "agent/agent_settings.h"
#include "agent/asio.h"
#include "agent/counting.h"
#include "agent/database_link.h"
#include "agent/metrics.h"
#include "agent/metrics_server.h"
#include "agent/traffic_server.h"

namespace agent {

class Agent {
 public:
  Agent(asio::io_context& io, const std::string& home, const AgentSettings& settings);

  // Serve the listening descriptors opened at start.
  void serveTraffic(int fd, const std::string& name) { traffic_.listen(fd, name); }
  void serveMetrics(int fd, const std::string& name) { metricsServer_.listen(fd, name); }
  // Reads the blocks file back, arms the ticks and the signals.
  void start();
  // After the loop has stopped: stores what the database should keep.
  // False when the store did not finish within its time.
  bool finish();

 private:
  const char* onLine(std::string_view text);
  void onBlock(const Block& block);
  // Writes the blocks file and reloads the daemon soon, once for a burst.
  void applySoon(const char* why);
  void apply();
  void expireTick();
  void storeTick();
  void pollTick();
  void arm(asio::steady_timer& timer, int seconds, void (Agent::*tick)());
  void waitForSignal();
  void reloadSettings();
  void configure();
  void logDroppedKeys();

  asio::io_context& io_;
  const std::string home_;
  AgentSettings settings_;
  AgentMetrics metrics_;
  Counting counting_;
  TrafficServer traffic_;
  MetricsServer metricsServer_;
  DatabaseLink database_;
  asio::signal_set signals_;
  asio::steady_timer expireTimer_, storeTimer_, pollTimer_, applyTimer_;
  bool applyScheduled_ = false;
  std::string applyWhy_;
  time_t lastReloadFailureLog_ = 0;
};

}  // namespace agent

#endif
