#include "host/config_file_on_disk.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/log.h"

namespace KELP {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Cuts a trailing comment: '#' or ';' preceded by a blank, outside quotes.
std::string stripTrailingComment(const std::string& s) {
  bool quoted = false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '"') quoted = !quoted;
    if (!quoted && (s[i] == '#' || s[i] == ';') && i > 0 && isBlank(s[i - 1]))
      return s.substr(0, i);
  }
  return s;
}

std::string unquote(const std::string& v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
    return v.substr(1, v.size() - 2);
  return v;
}

}  // namespace

bool readWholeFile(const std::string& path, std::string& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    close(fd);
    errno = err;
    return false;
  }
  out.clear();
  if (st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      errno = err;
      return false;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool parseBoolWord(const std::string& word, bool& value) {
  static const char* const yes[] = {"yes", "true", "on", "1"};
  static const char* const no[] = {"no", "false", "off", "0"};
  for (const char* w : yes)
    if (strcasecmp(word.c_str(), w) == 0) return value = true, true;
  for (const char* w : no)
    if (strcasecmp(word.c_str(), w) == 0) return value = false, true;
  return false;
}

ConfigFileOnDisk::ConfigFileOnDisk(const char* path) : loaded(false), path_(path ? path : "") {
  std::string text;
  if (path == nullptr || !readWholeFile(path_, text)) {
    read_error_ = errno;
    return;
  }
  parse(text);
  loaded = true;
}

void ConfigFileOnDisk::parse(const std::string& text) {
  sections_.clear();
  problems_.clear();
  sections_.push_back(Section{"", 0, {}});
  int lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string raw = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++lineNo;
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    line = trim(stripTrailingComment(line));
    if (line[0] == '[') {
      if (line.back() == ']' && line.size() > 2) {
        sections_.push_back(Section{trim(line.substr(1, line.size() - 2)), lineNo, {}});
        continue;
      }
    } else {
      size_t eq = line.find('=');
      if (eq != std::string::npos && eq > 0) {
        std::string key = trim(line.substr(0, eq));
        if (!key.empty()) {
          sections_.back().entries.push_back(
              Entry{key, unquote(trim(line.substr(eq + 1))), lineNo});
          continue;
        }
      }
    }
    problems_.push_back(Problem{lineNo, raw});
  }
}

bool ConfigFileOnDisk::getparam(const char* section, const char* key, std::string& value) const {
  if (!loaded && sections_.empty()) return false;
  const Entry* found = nullptr;
  for (const Section& s : sections_) {
    if (s.name != section) continue;
    for (const Entry& e : s.entries)
      if (e.key == key) found = &e;
  }
  if (found == nullptr) return false;
  value = found->value;
  return true;
}

void ConfigFileOnDisk::logProblems() const {
  for (const Problem& p : problems_)
    Log::LogByLevel(LOG_NORMAL, "ini file [%s] line %d: not a section or key = value line, skipped: [%.100s]",
                    path_.c_str(), p.line, p.text.c_str());
}

}  // namespace KELP
