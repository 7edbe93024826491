// The schedule of the agent's database work and what it does with the
// outcomes. It decides what to submit to the store thread and when, keeps
// the blocks not yet stored, and turns outcomes into metrics, log lines and
// requests to reload the daemon:
//
//   parent, each expire tick  blocks not yet stored; the expiry sweep
//   parent, each store tick   the stored counts loaded once (before any
//                             store, so none is overwritten unread), then
//                             the counts of every key stored
//   child, each poll tick     the version number; a change reloads the daemon
//
// At most one job of each kind is in flight. While the database cannot be
// reached, one attempt is made per store_interval, the outage is logged
// once per store_interval, and counting and blocking go on without it.
//
// Event loop thread only (the jobs run on the store thread and post their
// outcomes back).
#ifndef KEELGATE_AGENT_DATABASE_LINK_H
#define KEELGATE_AGENT_DATABASE_LINK_H

#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_settings.h"
#include "agent/asio.h"
#include "agent/counting.h"
#include "agent/metrics.h"
#include "agent/store_jobs.h"
#include "agent/store_thread.h"

namespace agent {

class DatabaseLink {
 public:
  // `reloadDaemon` is asked to reload the local daemon, saying why.
  DatabaseLink(asio::io_context& io, const std::string& home, Counting& counting, AgentMetrics& metrics,
               std::function<void(const char*)> reloadDaemon);

  void configure(const AgentSettings& settings);
  // A block just decided: stored at the next chance.
  void storeBlock(const Block& block);
  void expireTick();
  void storeTick();
  void pollTick();
  // At the end (the event loop has stopped): stores the blocks not yet
  // stored and the counts, waiting at most `seconds`. False when the store
  // thread did not finish in time.
  bool finish(int seconds);

 private:
  bool enabled() const { return settings_.databaseConfigured; }
  // Whether a job may be tried now (always while the database is up).
  bool attemptDue();
  void submitBlocks();
  void note(const DbOutcome& outcome);
  void updatePending() { metrics_.blocksPending = pending_.size() + inFlight_.size(); }
  // Runs `job` on the store thread and `done` with its outcome on the loop.
  template <typename Result>
  void run(std::function<Result(SmtpConnTrafficList&)> job, std::function<void(const Result&)> done,
           bool urgent = false);

  asio::io_context& io_;
  Counting& counting_;
  AgentMetrics& metrics_;
  std::function<void(const char*)> reloadDaemon_;
  AgentSettings settings_;
  bool configured_ = false;
  std::unique_ptr<StoreThread> store_;

  std::vector<Block> pending_, inFlight_;
  bool versionOwed_ = false;  // blocks stored, version number not yet raised
  bool blocksBusy_ = false, sweepBusy_ = false, countsBusy_ = false, pollBusy_ = false;
  bool countsLoaded_ = false;
  int lastVersion_ = -1;  // -1: none read yet
  bool up_ = true;        // as far as the last attempt knows
  time_t lastAttempt_ = 0, lastOutageLog_ = 0;
};

}  // namespace agent

#endif
