#include "host/log/log.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "host/base/clock.h"
#include "host/base/printable.h"
#include "host/config/global_setting.h"
#include "host/log/log_format.h"

namespace KELP {

namespace {

std::atomic<LogMsg*> g_sink{nullptr};
std::atomic<int> g_threshold{LOG_NORMAL};

// Longest message text kept; longer ones are cut.
const size_t kMaxMessage = 8192;

bool makeParentDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

struct LogFileSink::State {
  std::mutex mu;  // guards fd, dev, ino
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
};

LogFileSink::LogFileSink(const std::string& path) : path_(path), state_(new State) {
  makeParentDirs(path_);
  state_->fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  struct stat st;
  if (state_->fd >= 0 && fstat(state_->fd, &st) == 0) {
    state_->dev = st.st_dev;
    state_->ino = st.st_ino;
  }
}

LogFileSink::~LogFileSink() {
  if (state_->fd >= 0) close(state_->fd);
  delete state_;
}

bool LogFileSink::ok() const { return state_->fd >= 0; }

void LogFileSink::reopenIfMoved() {
  std::lock_guard<std::mutex> lock(state_->mu);
  struct stat st;
  if (state_->fd >= 0 && stat(path_.c_str(), &st) == 0 && st.st_dev == state_->dev &&
      st.st_ino == state_->ino)
    return;
  makeParentDirs(path_);
  int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0) return;  // keep writing to the old file
  if (state_->fd >= 0) close(state_->fd);
  state_->fd = fd;
  if (fstat(fd, &st) == 0) {
    state_->dev = st.st_dev;
    state_->ino = st.st_ino;
  }
}

namespace {

// getpid() without a system call per line; a forked child starts afresh.
std::atomic<int> cachedPid{0};
void forgetPid() { cachedPid.store(0); }

int processId() {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forgetPid); });
  int pid = cachedPid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<int>(getpid());
    cachedPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

// The head of a line, "<time> <program>[<pid>] ", made once per second,
// process and thread (a worker logs at least one line per request).
const std::string& headOf(time_t now) {
  thread_local time_t second = -1;
  thread_local int pid = 0;
  thread_local std::string head;
  int current = processId();
  if (now != second || current != pid) {
    struct tm tmv;
    char stamp[64] = "";
    if (localtime_r(&now, &tmv) != nullptr) strftime(stamp, sizeof stamp, "%b %d %Y %X", &tmv);
    head = std::string(stamp) + " " + program_invocation_short_name + "[" + std::to_string(current) + "] ";
    second = now;
    pid = current;
  }
  return head;
}

}  // namespace

void LogFileSink::write(KELPLogLevel level, const char* text, size_t len) {
  const std::string& head = headOf(Clock::now());
  const char* word = levelWord(level);
  thread_local std::string line;  // keeps its capacity: no allocation per line
  line.clear();
  line.append(head).append(word).append(1, ' ').append(text, len).push_back('\n');
  std::lock_guard<std::mutex> lock(state_->mu);
  if (state_->fd < 0) return;
  ssize_t n;
  do {
    n = ::write(state_->fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

void LogStderrSink::write(KELPLogLevel level, const char* text, size_t len) {
  std::string line = std::string(program_invocation_short_name) + ": ";
  line.append(text, len).push_back('\n');
  if (::write(STDERR_FILENO, line.data(), line.size()) < 0) {
    // Nothing to tell: standard error is where failures would go.
  }
  if (next_ != nullptr) next_->write(level, text, len);
}

LogMsg* LogMsgQxCLM::Instance(int, GlobalSetting* settings, bool, int, const char*) {
  static std::mutex mu;
  static LogFileSink* sink = nullptr;
  if (settings == nullptr) return nullptr;
  std::string path = settings->home() + "/log/keelgate.log";
  std::lock_guard<std::mutex> lock(mu);
  if (sink != nullptr && sink->path() == path) {
    sink->reopenIfMoved();
    return sink;
  }
  LogFileSink* fresh = new LogFileSink(path);
  if (!fresh->ok()) {
    delete fresh;
    return nullptr;
  }
  // A sink replaced by one for another path stays alive: other threads may
  // still hold it.
  sink = fresh;
  return sink;
}

void Log::Init(LogMsg* sink, KELPLogLevel threshold) {
  if (sink != nullptr) g_sink.store(sink);
  g_threshold.store(threshold);
}

void Log::Reinit(LogMsg* sink, KELPLogLevel threshold) { Init(sink, threshold); }

KELPLogLevel Log::threshold() { return g_threshold.load(std::memory_order_relaxed); }

bool Log::enabled(KELPLogLevel level) {
  int t = g_threshold.load(std::memory_order_relaxed);
  return t > LOG_NOLOG && level <= t && g_sink.load(std::memory_order_acquire) != nullptr;
}

void Log::LogByLevel(KELPLogLevel level, const char* format, ...) {
  if (!enabled(level)) return;
  LogMsg* sink = g_sink.load(std::memory_order_acquire);
  char text[kMaxMessage];
  va_list ap;
  va_start(ap, format);
  size_t len = formatLogMessage(text, sizeof text, format, ap);
  va_end(ap);
  // Messages carry what SMTP clients chose (senders, EHLO names, whole
  // requests): one message stays one line, whatever bytes it holds.
  makePrintable(text, len);
  sink->write(level, text, len);
}

}  // namespace KELP
