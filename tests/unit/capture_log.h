// Helpers shared by the daemon's unit tests: a log sink that keeps every line
// with its level, and a temporary installation directory that removes itself.
// Tests run on one thread; nothing here is synchronised.
#ifndef KEELGATE_TESTS_UNIT_CAPTURE_LOG_H
#define KEELGATE_TESTS_UNIT_CAPTURE_LOG_H

#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "host/log.h"

namespace keelgate_test {

struct LogLine {
  KELP::KELPLogLevel level;
  std::string text;
  bool operator==(const LogLine& o) const { return level == o.level && text == o.text; }
};

inline std::ostream& operator<<(std::ostream& os, const LogLine& l) {
  return os << "{" << KELP::levelWord(l.level) << ", \"" << l.text << "\"}";
}

typedef std::vector<LogLine> LogLines;

inline LogLine normal(const std::string& text) { return LogLine{KELP::LOG_NORMAL, text}; }
inline LogLine debug(const std::string& text) { return LogLine{KELP::LOG_DEBUG, text}; }

class CaptureSink : public KELP::LogMsg {
 public:
  void write(KELP::KELPLogLevel level, const char* text, size_t len) override {
    lines.push_back(LogLine{level, std::string(text, len)});
  }
  // Lines at `level` only.
  LogLines at(KELP::KELPLogLevel level) const {
    LogLines out;
    for (const LogLine& l : lines)
      if (l.level == level) out.push_back(l);
    return out;
  }
  LogLines lines;
};

// The process log keeps a pointer to its sink, so the sink lives as long as
// the process. Installs it with every level enabled and empties it.
inline CaptureSink& captureLog() {
  static CaptureSink sink;
  sink.lines.clear();
  KELP::Log::Init(&sink, KELP::LOG_DEBUG);
  return sink;
}

// A fresh directory under /tmp, removed with its contents at destruction.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/keelgate_unit.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    if (!path_.empty())
      nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
           16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  // Creates <dir>/<relative> and its missing parents.
  bool makeDirs(const std::string& relative) const {
    std::string full = path_;
    size_t pos = 0;
    while (pos != std::string::npos) {
      size_t slash = relative.find('/', pos);
      full = path_ + "/" + relative.substr(0, slash);
      if (mkdir(full.c_str(), 0755) != 0 && errno != EEXIST) return false;
      pos = slash == std::string::npos ? slash : slash + 1;
    }
    return true;
  }
  // Writes a file, creating its directory; `mode` is applied afterwards.
  bool write(const std::string& relative, const std::string& text, mode_t mode = 0644) const {
    size_t slash = relative.rfind('/');
    if (slash != std::string::npos && !makeDirs(relative.substr(0, slash))) return false;
    std::string full = *this / relative;
    FILE* f = fopen(full.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    return ok && chmod(full.c_str(), mode) == 0;
  }
  bool exists(const std::string& relative) const { return access((*this / relative).c_str(), F_OK) == 0; }

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

}  // namespace keelgate_test

#endif
