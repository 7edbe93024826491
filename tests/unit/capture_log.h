// The one log capture, the one temporary directory, and file and environment
// helpers of the unit and database tests. The sink is the process sink for as
// long as the process runs (the log keeps its address), so it is never
// destroyed; it takes lines from any thread.
#ifndef KEELGATE_TESTS_UNIT_CAPTURE_LOG_H
#define KEELGATE_TESTS_UNIT_CAPTURE_LOG_H

#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "host/log/log.h"

namespace keelgate_test {

struct LogLine {
  KELP::KELPLogLevel level;
  std::string text;
  bool operator==(const LogLine& o) const { return level == o.level && text == o.text; }
};

inline std::ostream& operator<<(std::ostream& os, const LogLine& l) {
  return os << "{" << l.level << ", \"" << l.text << "\"}";
}

typedef std::vector<LogLine> LogLines;

inline LogLine normal(const std::string& text) { return LogLine{KELP::LOG_NORMAL, text}; }
inline LogLine debug(const std::string& text) { return LogLine{KELP::LOG_DEBUG, text}; }

class CaptureSink : public KELP::LogMsg {
 public:
  void write(KELP::KELPLogLevel level, const char* text, size_t len) override {
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(LogLine{level, std::string(text, len)});
      hook = hook_;
    }
    if (hook) hook(std::string(text, len));
  }
  LogLines lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  // The lines at `level`.
  LogLines at(KELP::KELPLogLevel level) const {
    LogLines out;
    for (const LogLine& l : lines())
      if (l.level == level) out.push_back(l);
    return out;
  }
  bool has(KELP::KELPLogLevel level, const std::string& text) const {
    for (const LogLine& l : lines())
      if (l == LogLine{level, text}) return true;
    return false;
  }
  // How many lines at `level` contain `part`.
  size_t count(KELP::KELPLogLevel level, const std::string& part) const {
    size_t n = 0;
    for (const LogLine& l : lines()) n += l.level == level && l.text.find(part) != std::string::npos;
    return n;
  }
  std::string all() const {
    std::ostringstream os;
    for (const LogLine& l : lines()) os << l << "\n";
    return os.str();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }
  // Runs `hook` on the logging thread after each line is stored.
  void setHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = hook;
  }

 private:
  mutable std::mutex mu_;
  LogLines lines_;
  std::function<void(const std::string&)> hook_;
};

// Empties the sink, drops its hook and installs it at `threshold`.
inline CaptureSink& captureLog(KELP::KELPLogLevel threshold = KELP::LOG_DEBUG) {
  static CaptureSink* sink = new CaptureSink;
  sink->clear();
  sink->setHook(nullptr);
  KELP::Log::Init(sink, threshold);
  return *sink;
}

// The whole content of a file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream os;
  os << in.rdbuf();
  return os.str();
}

// The lines of a file without their line feeds; none when it cannot be read.
inline std::vector<std::string> fileLines(const std::string& path) {
  std::istringstream in(readFile(path));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sets an environment variable for the object's life, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

// A TCP listener on 127.0.0.1 at an ephemeral port, or -1. Nothing accepts:
// the kernel completes a client's connect from the backlog.
inline int listenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// A fresh directory under /tmp, removed with its contents at destruction.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/keelgate_test.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  // Creates <dir>/<relative> and its missing parents.
  bool makeDirs(const std::string& relative) const {
    std::error_code ec;
    std::filesystem::create_directories(*this / relative, ec);
    return !ec;
  }
  // Writes a file, creating its directory; `mode` is applied afterwards.
  bool write(const std::string& relative, const std::string& text, mode_t mode = 0644) const {
    size_t slash = relative.rfind('/');
    if (slash != std::string::npos && !makeDirs(relative.substr(0, slash))) return false;
    std::ofstream out(*this / relative, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out.good() && chmod((*this / relative).c_str(), mode) == 0;
  }
  bool exists(const std::string& relative) const { return access((*this / relative).c_str(), F_OK) == 0; }
  void remove(const std::string& relative) const { unlink((*this / relative).c_str()); }

 private:
  std::string path_;
};

}  // namespace keelgate_test

#endif
