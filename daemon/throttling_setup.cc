#include "daemon/throttling_setup.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "daemon/globals.h"
#include "daemon/signals.h"
#include "host/db/qx_db_connection.h"

namespace {

// Interruptible sleeps of the background threads and their count.
std::mutex threads_mu;
std::condition_variable threads_cv;
bool threads_stopping = false;  // guarded by threads_mu
int threads_running = 0;        // guarded by threads_mu

// False when the threads are being stopped.
bool pause(int seconds) {
  std::unique_lock<std::mutex> lock(threads_mu);
  threads_cv.wait_for(lock, std::chrono::seconds(seconds), [] { return threads_stopping; });
  return !threads_stopping;
}

void threadEnded() {
  std::lock_guard<std::mutex> lock(threads_mu);
  --threads_running;
  threads_cv.notify_all();
}

bool anyCountingRule() {
  return SmtpConnConfig::smtpConnIPBaseRule.ConnBaseIPConnEnable ||
         SmtpConnConfig::smtpConnIPBaseRule.ConnBaseIPMsgEnable ||
         SmtpConnConfig::smtpConnSenderBaseRule.SenderBaseEnable;
}

void logParentDown() {
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "db in parent is down,give up to send traffic log to parent");
}

// What the caps dropped since the last cycle, in one line each.
void logDroppedAtCaps(unsigned long long traffic, unsigned long long blocked) {
  if (traffic > 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "SMTP Traffic Throttling traffic counts full (%zu keys per rule): %llu observations of new "
                          "keys dropped",
                          smtpConnTrafficList.maxKeys(), traffic);
  if (blocked > 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "SMTP Traffic Throttling blocked list full (%zu items): %llu blocks of new items not "
                          "recorded for the CSV log",
                          smtpConnBlockedList.maxItems(), blocked);
}

// One cycle of the traffic-log thread.
void reportTrafficToParent() {
  const SmtpConnIPBaseRule& ipRule = SmtpConnConfig::smtpConnIPBaseRule;
  logDroppedAtCaps(smtpConnTrafficList.takeDroppedKeys(), 0);
  if (!anyCountingRule()) return;
  if (!KELP::QxDBConnection::isDBAlive()) return logParentDown();
  if (ipRule.ConnBaseIPConnEnable && !smtpConnTrafficList.rawIPBaseConnEmpty())
    smtpConnTrafficList.sendIPBaseConnTrafficToParent(parentIP, parentPort);
  if (ipRule.ConnBaseIPMsgEnable && !smtpConnTrafficList.rawIPBaseMsgEmpty())
    smtpConnTrafficList.sendIPBaseMsgTrafficToParent(parentIP, parentPort);
  if (!KELP::QxDBConnection::isDBAlive()) return logParentDown();
  if (SmtpConnConfig::smtpConnSenderBaseRule.SenderBaseEnable && !smtpConnTrafficList.rawSenderBaseEmpty())
    smtpConnTrafficList.sendSenderBaseTrafficToParent(parentIP, parentPort);
}

bool startThread(void* (*body)(void*)) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  blockDaemonSignals();  // inherited by the new thread
  {
    std::lock_guard<std::mutex> lock(threads_mu);
    ++threads_running;
  }
  pthread_t tid;
  int ret = pthread_create(&tid, &attr, body, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  pthread_attr_destroy(&attr);
  if (ret == 0) return true;
  threadEnded();
  const char* what = body == start_send_blocked_log ? "blocked" : "traffic";
  KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                        "Create %s log send thread of SMTP Traffic Throttling failled. ret=%d, reason=%s",
                        what, ret, strerror(ret));
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "failed to create send SMTP Traffic Throttling %s log thread", what);
  return false;
}

}  // namespace

int sendIntervalFor(int v, int cap) {
  if (v <= 59) return 10;
  if (v <= 1800) return v / 10;
  return cap;
}

bool initSmtpConn() {
  // The rule records are not cleared first: a load that fails keeps them,
  // and one that succeeds replaces every field.
  if (!smtpConnConfig.init()) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "failed to init SMTP Traffic Throttling config");
    return false;
  }
  const SmtpConnConfig& c = smtpConnConfig;
  smtpConnBlockedList.init(c.blockedLogInterval, c.blockedLogPath, c.blockedLogPrefix, c.blockedLogRotateSize,
                           c.ldfFile, c.logLevel);
  int senderInterval = sendIntervalFor(SmtpConnConfig::smtpConnSenderBaseRule.interval, 180);
  int ipInterval = sendIntervalFor(SmtpConnConfig::smtpConnIPBaseRule.interval, 300);
  smtpConnTrafficList.init(ipInterval, senderInterval, c.trafficLogPath, c.trafficLogPrefix,
                           c.trafficLogRotateSize, c.ldfFile, c.logLevel);
  smtpConnTrafficList.setMaxKeys(static_cast<size_t>(c.maxTrafficKeys));
  smtpConnBlockedList.setMaxItems(static_cast<size_t>(c.maxBlockedItems));
  KELP::Log::LogByLevel(KELP::LOG_DEBUG,
                        "dump SMTP Traffic Throttling configuration:ConnBaseIPConnEnable[%d],"
                        "ConnBaseIPMsgEnable[%d],SenderBaseEnable[%d]",
                        SmtpConnConfig::smtpConnIPBaseRule.ConnBaseIPConnEnable ? 1 : 0,
                        SmtpConnConfig::smtpConnIPBaseRule.ConnBaseIPMsgEnable ? 1 : 0,
                        SmtpConnConfig::smtpConnSenderBaseRule.SenderBaseEnable ? 1 : 0);
  return true;
}

void* start_send_traffic_log(void*) {
  KELP::Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "start send SMTP Traffic Throttling traffic log thread");
  srand(static_cast<unsigned>(getpid()));
  int period = rand() % 10 + 10;
  KELP::Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "start send SMTP Traffic Throttling traffic log thread, sleep time is %d",
                        period);
  do {
    reportTrafficToParent();
  } while (pause(period));
  threadEnded();
  return nullptr;
}

void* start_send_blocked_log(void*) {
  KELP::Log::LogByLevel(KELP::LOG_DIAGNOSTIC, "start send SMTP Traffic Throttling blocked log thread");
  smtpConnBlockedList.resetTimeout();
  do {
    logDroppedAtCaps(0, smtpConnBlockedList.takeDroppedItems());
    if (!smtpConnConfig.enable || !smtpConnBlockedList.hasTimeout()) continue;
    if (!smtpConnConfig.enable) {
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "SMTP Traffic Throttling disabled,quit send blocked log thread");
      break;
    }
    if (smtpConnBlockedList.size() > 0) {
      smtpConnBlockedList.log();
      smtpConnBlockedList.resetTimeout();
    }
  } while (pause(10));
  threadEnded();
  return nullptr;
}

void startThrottlingThreads() {
  startThread(start_send_blocked_log);
  if (!ismaster) startThread(start_send_traffic_log);
}

void flushBlockedOnStop() {
  if (anyCountingRule() && smtpConnBlockedList.size() > 0) smtpConnBlockedList.log();
}

void stopThrottlingThreads(int waitMs) {
  std::unique_lock<std::mutex> lock(threads_mu);
  threads_stopping = true;
  threads_cv.notify_all();
  threads_cv.wait_for(lock, std::chrono::milliseconds(waitMs), [] { return threads_running == 0; });
}
