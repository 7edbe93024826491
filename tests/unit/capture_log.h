// The one log capture, the one temporary directory, and file and socket
// helpers of the unit, database and agent tests. The sink is the process sink
// for as long as the process runs (the log keeps its address), so it is never
// destroyed; it takes lines from any thread.
#ifndef KEELGATE_TESTS_UNIT_CAPTURE_LOG_H
#define KEELGATE_TESTS_UNIT_CAPTURE_LOG_H

#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "host/log/log.h"

namespace keelgate_test {

struct LogLine {
  KELP::KELPLogLevel level;
  std::string text;
  bool operator==(const LogLine& o) const { return level == o.level && text == o.text; }
  friend std::ostream& operator<<(std::ostream& os, const LogLine& l) { return os << l.level << "|" << l.text; }
};
typedef std::vector<LogLine> LogLines;

class CaptureSink : public KELP::LogMsg {
 public:
  void write(KELP::KELPLogLevel level, const char* text, size_t len) override {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(LogLine{level, std::string(text, len)});
  }
  LogLines lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  // How many lines at `level` contain `part`.
  size_t count(KELP::KELPLogLevel level, const std::string& part) const {
    size_t n = 0;
    for (const LogLine& l : lines()) n += l.level == level && l.text.find(part) != std::string::npos;
    return n;
  }
  std::string all() const {
    std::string out;
    for (const LogLine& l : lines()) out += std::to_string(l.level) + "|" + l.text + "\n";
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }

 private:
  mutable std::mutex mu_;
  LogLines lines_;
};

// Empties the sink and installs it at `threshold`.
inline CaptureSink& captureLog(KELP::KELPLogLevel threshold = KELP::LOG_DEBUG) {
  static CaptureSink* sink = new CaptureSink;
  sink->clear();
  KELP::Log::Init(sink, threshold);
  return *sink;
}

// The lines of a file without their line feeds; none when it cannot be read.
inline std::vector<std::string> fileLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A non-blocking TCP listener on 127.0.0.1 at an ephemeral port, or -1. The
// kernel completes a client's connect from the backlog before any accept.
inline int listenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
  // Writes a file, creating its directory.
  bool write(const std::string& relative, const std::string& text) const {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(*this / relative).parent_path(), ec);
    std::ofstream out(*this / relative, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out.good();
  }
  void remove(const std::string& relative) const { unlink((*this / relative).c_str()); }

 private:
  std::string path_;
};

}  // namespace keelgate_test

#endif
