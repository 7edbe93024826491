#include "agent/database_link.h"

#include <algorithm>

#include "host/base/clock.h"
#include "host/log/log.h"

namespace agent {

DatabaseLink::DatabaseLink(asio::io_context& io, const std::string& home, Counting& counting, AgentMetrics& metrics,
                           std::function<void(const char*)> reloadDaemon)
    : io_(io),
      counting_(counting),
      metrics_(metrics),
      reloadDaemon_(std::move(reloadDaemon)),
      store_(new StoreThread(home)) {}

template <typename Result>
void DatabaseLink::run(std::function<Result(SmtpConnTrafficList&)> job, std::function<void(const Result&)> done,
                       bool urgent) {
  lastAttempt_ = KELP::Clock::now();
  store_->submit(
      [this, job, done](SmtpConnTrafficList& db) {
        auto result = std::make_shared<Result>(job(db));
        asio::post(io_, [this, result, done] {
          note(*result);
          done(*result);
        });
      },
      urgent);
}

void DatabaseLink::configure(const AgentSettings& settings) {
  // The store thread read odbc.ini when it started; a reload reads it anew.
  if (configured_) store_->reloadDatabaseSettings();
  configured_ = true;
  settings_ = settings;
}

bool DatabaseLink::attemptDue() {
  return up_ || KELP::Clock::now() - lastAttempt_ >= settings_.storeInterval;
}

void DatabaseLink::note(const DbOutcome& outcome) {
  metrics_.databaseErrors += static_cast<uint64_t>(outcome.errors);
  metrics_.databaseUp = outcome.reachable;
  time_t now = KELP::Clock::now();
  if (outcome.reachable) {
    if (!up_) KELP::Log::LogByLevel(KELP::LOG_NORMAL, "the database can be reached again");
    up_ = true;
    return;
  }
  if (up_ || now - lastOutageLog_ >= settings_.storeInterval) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "the database cannot be reached: %zu blocks wait to be stored; counting and blocking go on, "
                          "next attempt in %d s",
                          pending_.size() + inFlight_.size(), settings_.storeInterval);
    lastOutageLog_ = now;
  }
  up_ = false;
}

void DatabaseLink::storeBlock(const Block& block) {
  if (!enabled()) return;
  pending_.push_back(block);
  updatePending();
  if (up_) submitBlocks();
}

void DatabaseLink::submitBlocks() {
  if (blocksBusy_ || (pending_.empty() && !versionOwed_) || !attemptDue()) return;
  // A block that ended while the database was away applies nowhere any
  // more: it is not kept (nor stored) for ever.
  const time_t now = KELP::Clock::now();
  size_t before = pending_.size();
  pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [now](const Block& b) { return b.expiration <= now; }),
                 pending_.end());
  if (pending_.size() != before)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "%zu blocks ended before the database could store them", before - pending_.size());
  updatePending();
  if (pending_.empty() && !versionOwed_) return;
  blocksBusy_ = true;
  inFlight_.swap(pending_);
  const bool raise = versionOwed_;
  std::vector<Block> blocks = inFlight_;
  run<BlocksStored>([blocks, raise](SmtpConnTrafficList& db) { return storeBlocks(db, blocks, raise); },
                    [this](const BlocksStored& r) {
                      blocksBusy_ = false;
                      for (const Block& b : r.stored)
                        KELP::Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "block of [%s] (rule %s) stored in the database",
                                              b.key.c_str(), ruleLabel(b.rule));
                      pending_.insert(pending_.end(), r.failed.begin(), r.failed.end());
                      inFlight_.clear();
                      versionOwed_ = (versionOwed_ || !r.stored.empty()) && !r.versionRaised;
                      updatePending();
                      // Blocks decided meanwhile go now rather than at the next tick.
                      if (r.reachable && !r.stored.empty()) submitBlocks();
                    },
                    true);
}

void DatabaseLink::expireTick() {
  if (!enabled() || !settings_.parent) return;
  submitBlocks();
  if (sweepBusy_ || !attemptDue()) return;
  sweepBusy_ = true;
  run<ExpirySwept>([](SmtpConnTrafficList& db) { return sweepExpiredBlocks(db); },
                   [this](const ExpirySwept& r) {
                     sweepBusy_ = false;
                     if (r.anyExpired) reloadDaemon_("blocks expired in the database");
                   });
}

void DatabaseLink::storeTick() {
  if (!enabled() || !settings_.parent || countsBusy_) return;
  submitBlocks();
  if (!attemptDue()) return;
  countsBusy_ = true;
  if (!countsLoaded_) {
    run<CountsLoaded>([](SmtpConnTrafficList& db) { return loadCounts(db); },
                      [this](const CountsLoaded& r) {
                        countsBusy_ = false;
                        if (!r.reachable) return;
                        countsLoaded_ = true;
                        time_t now = KELP::Clock::now();
                        size_t rows = 0;
                        for (int rule = 0; rule < kRuleCount; ++rule) {
                          for (const RuleCounter::Stored& s : r.counts.rows[rule])
                            counting_.seed(static_cast<Rule>(rule), s.key, s.count, s.since, now);
                          rows += r.counts.rows[rule].size();
                        }
                        KELP::Log::LogByLevel(KELP::LOG_NORMAL, "%zu stored counts loaded from the database", rows);
                      });
    return;
  }
  auto counts = std::make_shared<StoredCounts>();
  time_t now = KELP::Clock::now();
  for (int rule = 0; rule < kRuleCount; ++rule) counting_.counter(static_cast<Rule>(rule)).snapshot(now, counts->rows[rule]);
  const int64_t scanner = settings_.scannerId;
  run<DbOutcome>([counts, scanner](SmtpConnTrafficList& db) { return storeCounts(db, *counts, scanner); },
                 [this](const DbOutcome&) { countsBusy_ = false; });
}

void DatabaseLink::pollTick() {
  if (!enabled() || settings_.parent || pollBusy_ || !attemptDue()) return;
  pollBusy_ = true;
  run<VersionRead>([](SmtpConnTrafficList& db) { return readVersion(db); },
                   [this](const VersionRead& r) {
                     pollBusy_ = false;
                     // 0 is also what a failed read gives: never taken as a change.
                     if (!r.reachable || (r.version == 0 && lastVersion_ >= 0)) return;
                     if (lastVersion_ >= 0 && r.version != lastVersion_) reloadDaemon_("the version number changed");
                     lastVersion_ = r.version;
                   },
                   true);
}

bool DatabaseLink::finish(int seconds) {
  if (enabled() && settings_.parent) {
    std::vector<Block> blocks = pending_;
    if (!blocks.empty()) store_->submit([blocks](SmtpConnTrafficList& db) { storeBlocks(db, blocks, false); });
    if (countsLoaded_) {
      auto counts = std::make_shared<StoredCounts>();
      time_t now = KELP::Clock::now();
      for (int rule = 0; rule < kRuleCount; ++rule)
        counting_.counter(static_cast<Rule>(rule)).snapshot(now, counts->rows[rule]);
      const int64_t scanner = settings_.scannerId;
      store_->submit([counts, scanner](SmtpConnTrafficList& db) { storeCounts(db, *counts, scanner); });
    }
  }
  if (store_->drain(seconds)) return true;
  store_->abandon();
  return false;
}

}  // namespace agent
