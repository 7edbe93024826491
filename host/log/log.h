// The process log: one threshold and one sink per process, used by every
// thread. Messages at a level above the threshold are dropped before they are
// formatted. The default sink is the file log/keelgate.log of the installation
// directory (LogFileSink); each line is appended with a single write(2) on an
// O_APPEND descriptor, so the twenty workers and their threads never
// interleave inside a line. Control bytes in a message (line feeds, escapes)
// are written as '?': one message is always one line.
#ifndef KEELGATE_HOST_LOG_LOG_H
#define KEELGATE_HOST_LOG_LOG_H

#include <stddef.h>

#include <string>

#include "host/log/log_level.h"

namespace KELP {

class GlobalSetting;

// A destination for formatted messages.
class LogMsg {
 public:
  virtual ~LogMsg() {}
  // Writes one message (no trailing newline) at the given level.
  virtual void write(KELPLogLevel level, const char* text, size_t len) = 0;
};

// Appends lines "<%b %d %Y %X> <ident>[<pid>] <level word> <text>\n" to a file,
// creating the file and its directory when missing.
class LogFileSink : public LogMsg {
 public:
  // Opens (creating) the file; ok() tells whether it worked.
  explicit LogFileSink(const std::string& path);
  ~LogFileSink() override;
  bool ok() const;
  // Reopens the path when the file was moved away (log rotation).
  void reopenIfMoved();
  void write(KELPLogLevel level, const char* text, size_t len) override;
  const std::string& path() const { return path_; }

 private:
  struct State;
  std::string path_;
  State* state_;
};

// Writes each message as a line "<program>: <text>" on standard error, then
// hands it on to `next` when one is given: a run in the foreground (a
// configuration check, a program under systemd) that keeps its log file too.
class LogStderrSink : public LogMsg {
 public:
  explicit LogStderrSink(LogMsg* next = nullptr) : next_(next) {}
  void write(KELPLogLevel level, const char* text, size_t len) override;

 private:
  LogMsg* next_;
};

// The gateway's log factory: one file sink per process, at
// <installation directory>/log/keelgate.log of the given settings.
class LogMsgQxCLM {
 public:
  // Returns the process's sink, creating it on first call, or null when the
  // log file cannot be opened. Later calls return the same sink, reopened when
  // the file was rotated. `process`, the bool, `sync` and `product` are the
  // gateway's own parameters and select nothing here.
  static LogMsg* Instance(int process, GlobalSetting* settings, bool, int sync, const char* product);
};

class Log {
 public:
  // Sets the sink and the threshold. A null sink keeps the sink already set.
  static void Init(LogMsg* sink, KELPLogLevel threshold);
  static void Reinit(LogMsg* sink, KELPLogLevel threshold);
  // True when a message at `level` would be written.
  static bool enabled(KELPLogLevel level);
  static KELPLogLevel threshold();
  // printf-style message; nothing is written before a sink is set.
  static void LogByLevel(KELPLogLevel level, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
};

}  // namespace KELP

#endif
