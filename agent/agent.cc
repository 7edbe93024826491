#include "agent/agent.h"

#include <signal.h>

#include <chrono>

#include "agent/blocks_file.h"
#include "agent/daemon_reload.h"
#include "host/base/clock.h"
#include "host/log/log.h"

namespace agent {

namespace {

// Blocks decided within this time of each other reach the daemon in one reload.
const auto kApplyDelay = std::chrono::milliseconds(100);
// The longest the end waits for the database store.
const int kFinishSeconds = 30;
const time_t kReloadFailureLogSeconds = 60;

using KELP::Log;
using KELP::LOG_DIAGNOSTIC;
using KELP::LOG_NORMAL;

void logRules(const AgentSettings& s) {
  for (int r = 0; r < kRuleCount; ++r) {
    const RuleLimits& l = s.rules.rule[r];
    const char* name = ruleLabel(static_cast<Rule>(r));
    if (!l.counting)
      Log::LogByLevel(LOG_NORMAL, "rule %s: off", name);
    else if (!s.parent)
      Log::LogByLevel(LOG_NORMAL, "rule %s: counted for the metrics only (a child decides nothing)", name);
    else if (!l.blocks())
      Log::LogByLevel(LOG_NORMAL, "rule %s: counts, never blocks (limit %d, interval %d s, block time %d s)", name,
                      l.limit, l.interval, l.blockTime);
    else
      Log::LogByLevel(LOG_NORMAL, "rule %s: a key reaching %d within %d s is blocked for %d s", name, l.limit,
                      l.interval, l.blockTime);
  }
}

}  // namespace

Agent::Agent(asio::io_context& io, const std::string& home, const AgentSettings& settings)
    : io_(io),
      home_(home),
      settings_(settings),
      traffic_(io, metrics_, [this](std::string_view text) { return onLine(text); }),
      metricsServer_(io, [this] { return renderMetrics(counting_, metrics_, home_ + "/bin/keelgate.counters"); }),
      database_(io, home, counting_, metrics_, [this](const char* why) { applySoon(why); }),
      signals_(io, SIGTERM, SIGINT, SIGHUP),
      expireTimer_(io),
      storeTimer_(io),
      pollTimer_(io),
      applyTimer_(io) {
  configure();
}

void Agent::configure() {
  counting_.configure(settings_.rules, static_cast<size_t>(settings_.maxKeys), settings_.parent, settings_.scannerId);
  traffic_.setPeerFilter(PeerFilter(settings_.children));
  database_.configure(settings_);
  Log::Init(nullptr, settings_.logLevel);
}

void Agent::start() {
  Log::LogByLevel(LOG_NORMAL, "agent of scanner %lld (%s) started; database %s", static_cast<long long>(settings_.scannerId),
                  settings_.parent ? "parent" : "child",
                  settings_.databaseConfigured ? "configured" : "not configured: blocks apply through the blocks file only");
  logRules(settings_);
  if (settings_.parent) readBlocksFile(home_, KELP::Clock::now(), counting_.blocks());
  arm(expireTimer_, settings_.expireInterval, &Agent::expireTick);
  arm(storeTimer_, settings_.storeInterval, &Agent::storeTick);
  arm(pollTimer_, settings_.versionPollInterval, &Agent::pollTick);
  database_.storeTick();  // loads the stored counts
  waitForSignal();
}

const char* Agent::onLine(std::string_view text) {
  TrafficLine line;
  if (const char* why = parseTrafficLine(text, line)) return why;
  Block block;
  if (counting_.observe(line, KELP::Clock::now(), block)) onBlock(block);
  return nullptr;
}

void Agent::onBlock(const Block& block) {
  const RuleLimits& limits = settings_.rules.rule[block.rule];
  Log::LogByLevel(LOG_NORMAL, "blocked %s [%.200s] (rule %s: %d within %d s) for %d s, until %lld",
                  block.rule == kSender ? "sender" : "ip", block.key.c_str(), ruleLabel(block.rule), limits.limit,
                  limits.interval, limits.blockTime, static_cast<long long>(block.expiration));
  database_.storeBlock(block);
  applySoon("a new block");
}

void Agent::applySoon(const char* why) {
  if (applyScheduled_) return;
  applyScheduled_ = true;
  applyWhy_ = why;
  applyTimer_.expires_after(kApplyDelay);
  applyTimer_.async_wait([this](const asio::error_code& error) {
    if (!error) apply();
  });
}

void Agent::apply() {
  applyScheduled_ = false;
  std::string problem;
  if (!writeBlocksFile(home_, counting_.blocks(), problem))
    Log::LogByLevel(LOG_NORMAL, "cannot write the blocks file: %s", problem.c_str());
  if (reloadDaemon(home_, problem)) {
    ++metrics_.reloadsSent;
    Log::LogByLevel(LOG_DIAGNOSTIC, "SIGHUP sent to the daemon: %s", applyWhy_.c_str());
    return;
  }
  time_t now = KELP::Clock::now();
  if (now - lastReloadFailureLog_ < kReloadFailureLogSeconds) return;
  lastReloadFailureLog_ = now;
  Log::LogByLevel(LOG_NORMAL, "cannot reload the daemon (%s): %s", applyWhy_.c_str(), problem.c_str());
}

void Agent::arm(asio::steady_timer& timer, int seconds, void (Agent::*tick)()) {
  timer.expires_after(std::chrono::seconds(seconds));
  timer.async_wait([this, &timer, tick](const asio::error_code& error) {
    if (error) return;
    (this->*tick)();
    int again = tick == &Agent::expireTick  ? settings_.expireInterval
                : tick == &Agent::storeTick ? settings_.storeInterval
                                            : settings_.versionPollInterval;
    arm(timer, again, tick);
  });
}

void Agent::expireTick() {
  std::vector<Block> ended = counting_.blocks().expire(KELP::Clock::now());
  if (!ended.empty()) {
    metrics_.blocksExpired += ended.size();
    for (const Block& b : ended)
      Log::LogByLevel(LOG_NORMAL, "block of %s [%.200s] (rule %s) ended", b.rule == kSender ? "sender" : "ip",
                      b.key.c_str(), ruleLabel(b.rule));
    applySoon("blocks ended");
  }
  database_.expireTick();
}

void Agent::storeTick() {
  logDroppedKeys();
  if (!settings_.databaseConfigured)
    for (int r = 0; r < kRuleCount; ++r) counting_.counter(static_cast<Rule>(r)).prune(KELP::Clock::now());
  database_.storeTick();
}

void Agent::pollTick() { database_.pollTick(); }

void Agent::logDroppedKeys() {
  for (int r = 0; r < kRuleCount; ++r) {
    uint64_t dropped = counting_.takeDroppedSinceLastCall(static_cast<Rule>(r));
    if (dropped > 0)
      Log::LogByLevel(LOG_NORMAL, "rule %s: %llu new keys not counted since the last store: max_keys (%d) reached",
                      ruleLabel(static_cast<Rule>(r)), static_cast<unsigned long long>(dropped), settings_.maxKeys);
  }
}

void Agent::waitForSignal() {
  signals_.async_wait([this](const asio::error_code& error, int signal) {
    if (error) return;
    if (signal == SIGHUP) {
      reloadSettings();
      waitForSignal();
      return;
    }
    Log::LogByLevel(LOG_NORMAL, "stopping on signal %d", signal);
    traffic_.stop();
    metricsServer_.stop();
    io_.stop();
  });
}

void Agent::reloadSettings() {
  AgentSettings fresh;
  if (!loadAgentSettings(home_, fresh)) {
    Log::LogByLevel(LOG_NORMAL, "SIGHUP: the settings of %s/config could not be used; the running settings stay",
                    home_.c_str());
    return;
  }
  std::string fixed = restartOnlyChange(settings_, fresh);
  if (!fixed.empty())
    Log::LogByLevel(LOG_NORMAL, "SIGHUP: %s changed; it takes effect at the next start", fixed.c_str());
  fresh.parent = settings_.parent;
  fresh.scannerId = settings_.scannerId;
  fresh.port = settings_.port;
  fresh.listen = settings_.listen;
  fresh.metricsHost = settings_.metricsHost;
  fresh.metricsPort = settings_.metricsPort;
  for (int r = 0; r < kRuleCount; ++r)
    if (fresh.rules.rule[r].interval != settings_.rules.rule[r].interval && counting_.counter(static_cast<Rule>(r)).keys() > 0)
      Log::LogByLevel(LOG_NORMAL, "SIGHUP: the interval of rule %s changed; its counts start afresh",
                      ruleLabel(static_cast<Rule>(r)));
  settings_ = fresh;
  configure();
  Log::LogByLevel(LOG_NORMAL, "SIGHUP: settings reloaded");
  logRules(settings_);
}

bool Agent::finish() {
  traffic_.stop();
  metricsServer_.stop();
  signals_.cancel();
  return database_.finish(kFinishSeconds);
}

}  // namespace agent
