// Test support: a throw-away installation directory and a log sink that keeps
// the lines, so a test can check what was logged.
#ifndef KEELGATE_TESTS_UNIT_TEMP_HOME_H
#define KEELGATE_TESTS_UNIT_TEMP_HOME_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "host/log.h"

namespace KELP {
namespace testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempHome {
 public:
  TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "keelgate-test-XXXXXX").string();
    path_ = mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
  }
  ~TempHome() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }
  // Writes `text` to <home>/<relative>, creating directories.
  void write(const std::string& relative, const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(file(relative)).parent_path());
    std::ofstream(file(relative), std::ios::binary | std::ios::trunc) << text;
  }
  void remove(const std::string& relative) const { std::filesystem::remove(file(relative)); }

 private:
  std::string path_;
};

// Keeps every logged line; installed as the process sink at the debug level.
class LogCapture : public LogMsg {
 public:
  void install() {
    clear();
    Log::Init(this, LOG_DEBUG);
  }
  void write(KELPLogLevel level, const char* text, size_t len) override {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(std::to_string(level) + " " + std::string(text, len));
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }
  // The lines holding `part`, each prefixed with its level and a blank.
  std::vector<std::string> with(const std::string& part) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> found;
    for (const std::string& line : lines_)
      if (line.find(part) != std::string::npos) found.push_back(line);
    return found;
  }
  std::string all() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    return text;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

// The process's one capturing sink; never destroyed, because the log keeps
// its address after a test ends.
inline LogCapture& capturedLog() {
  static LogCapture* capture = new LogCapture;
  return *capture;
}

}  // namespace testing
}  // namespace KELP

#endif
