// The one thread that talks to the gateway database. Database calls block
// for up to their login and query timeouts, so the event loop never makes
// them: it submits work here, and the work posts its outcome back to the
// loop. The thread owns its own SmtpConnTrafficList (the database
// operations and their shared connection), which no other thread touches.
//
// Threads: submit and drain from the event loop thread; the work runs on
// the store thread, one item at a time, in order.
#ifndef KEELGATE_AGENT_STORE_THREAD_H
#define KEELGATE_AGENT_STORE_THREAD_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "throttling/smtp_conn_traffic_list.h"

namespace agent {

class StoreThread {
 public:
  typedef std::function<void(SmtpConnTrafficList&)> Work;

  // `home`: the installation directory whose odbc.ini names the database.
  explicit StoreThread(const std::string& home);
  // Stops the thread after the work already queued.
  ~StoreThread();
  StoreThread(const StoreThread&) = delete;
  StoreThread& operator=(const StoreThread&) = delete;

  // Queues work; urgent work (a block to store, a version to read) goes
  // before the work already waiting, such as a long store of counts.
  void submit(Work work, bool urgent = false);
  // Re-reads odbc.ini before the next work (after a SIGHUP).
  void reloadDatabaseSettings();
  // Waits up to `seconds` for the queue to empty and the thread to idle;
  // true when it did.
  bool drain(int seconds);
  // After a drain that timed out: leaves the thread running, never joined
  // (the process is about to end without it).
  void abandon();

 private:
  void run();

  SmtpConnTrafficList list_;  // store thread only, after the constructor

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  // Guarded by mutex_.
  std::deque<Work> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  bool reread_ = false;

  std::thread thread_;
};

}  // namespace agent

#endif
