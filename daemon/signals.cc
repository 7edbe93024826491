#include "daemon/signals.h"

#include <errno.h>
#include <signal.h>

#include <atomic>

#include "daemon/globals.h"
#include "daemon/reload_flags.h"

namespace {

std::atomic<bool> reload_requested{false};
std::atomic<bool> stop_requested{false};

void setHandler(int sig, void (*handler)(int), int flags) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  sigaction(sig, &sa, nullptr);
}

}  // namespace

void reload(int) {
  int saved = errno;
  reload_requested.store(true);
  errno = saved;
}

void serverMonitor(int) {
  int saved = errno;
  g_server_close.store(true);
  errno = saved;
}

void stop(int) {
  int saved = errno;
  stop_requested.store(true);
  errno = saved;
}

void installProcessSignals() {
  setHandler(SIGHUP, reload, SA_RESTART);
  setHandler(SIGUSR1, serverMonitor, SA_RESTART);
  setHandler(SIGPIPE, SIG_IGN, 0);
}

void installStopHandler() {
  setHandler(SIGINT, stop, 0);
  setHandler(SIGQUIT, stop, 0);
  setHandler(SIGTERM, stop, 0);
}

void blockDaemonSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGHUP, SIGUSR1, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool stopPending() { return stop_requested.load(); }

void runSignalWork(const std::function<void()>& flushBlocked) {
  if (reload_requested.exchange(false)) init_policy_load_flag();
  if (stop_requested.exchange(false) && !g_stop.load()) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "success to capture stop signal, keelgate daemon process will stop");
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "flush blocked SMTP Traffic Throttling log from memory to file");
    if (flushBlocked) flushBlocked();
    g_stop.store(true);
  }
}
