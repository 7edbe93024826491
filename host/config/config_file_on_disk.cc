#include "host/config/config_file_on_disk.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/base/huge_pages.h"
#include "host/log/log.h"

namespace KELP {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The bytes of [b, e) without blanks at either end.
void trim(const char*& b, const char*& e) {
  while (b < e && isBlank(*b)) ++b;
  while (e > b && isBlank(e[-1])) --e;
}

// End of [b, e) before a trailing comment: '#' or ';' preceded by a blank,
// outside quotes.
const char* commentStart(const char* b, const char* e) {
  bool quoted = false;
  for (const char* p = b; p < e; ++p) {
    // Most lines hold none of the three bytes; memchr skips them fast.
    const char* next = e;
    for (char c : {'"', '#', ';'}) {
      const char* hit = static_cast<const char*>(memchr(p, c, static_cast<size_t>(next - p)));
      if (hit != nullptr) next = hit;
    }
    if (next == e) return e;
    p = next;
    if (*p == '"') quoted = !quoted;
    else if (!quoted && p > b && isBlank(p[-1])) return p;
  }
  return e;
}

std::string unquoted(const char* b, const char* e) {
  if (e - b >= 2 && *b == '"' && e[-1] == '"') return std::string(b + 1, e - 1);
  return std::string(b, e);
}

}  // namespace

bool readWholeFile(const std::string& path, std::string& out) {
  // O_NONBLOCK: opening a FIFO put in a file's place must not hang a worker.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  int refused = 0;
  if (fstat(fd, &st) != 0)
    refused = errno;
  else if (!S_ISREG(st.st_mode))
    refused = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  else if (static_cast<unsigned long long>(st.st_size) > kMaxReadFileBytes)
    refused = EFBIG;
  if (refused != 0) {
    close(fd);
    if (refused == EINVAL || refused == EFBIG)
      Log::LogByLevel(LOG_NORMAL, "file [%s] refused: %s", path.c_str(),
                      refused == EFBIG ? "larger than 256 MB" : "not a regular file");
    errno = refused;
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // Read straight into the string: the list files run to tens of MB.
  size_t size = 0;
  size_t expected = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096;
  out.clear();
  out.reserve(expected);
  adviseHugePages(out.data(), expected);
  out.resize(expected);
  for (;;) {
    if (size == out.size()) {  // grew while read
      if (size > kMaxReadFileBytes) {
        close(fd);
        Log::LogByLevel(LOG_NORMAL, "file [%s] refused: %s", path.c_str(), "larger than 256 MB");
        errno = EFBIG;
        return false;
      }
      out.resize(out.size() * 2);
    }
    ssize_t n = read(fd, &out[size], out.size() - size);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      errno = err;
      return false;
    }
    size += static_cast<size_t>(n);
  }
  out.resize(size);
  close(fd);
  return true;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return (errno = EIO), false;
    data += n;
    size -= static_cast<size_t>(n);
  }
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

// Works on pointers into `text`: tls_policy.ini runs to thousands of long
// lines, and each worker parses it at start-up.
void ConfigFileOnDisk::parse(const std::string& text) {
  sections_.clear();
  problems_.clear();
  sections_.push_back(Section{"", 0, {}});
  int lineNo = 0;
  const char* pos = text.data();
  const char* const end = pos + text.size();
  while (pos < end) {
    const char* nl = static_cast<const char*>(memchr(pos, '\n', static_cast<size_t>(end - pos)));
    const char* raw = pos;
    const char* rawEnd = nl != nullptr ? nl : end;
    pos = rawEnd + 1;
    ++lineNo;
    const char* b = raw;
    const char* e = rawEnd;
    trim(b, e);
    if (b == e || *b == '#' || *b == ';') continue;
    e = commentStart(b, e);
    trim(b, e);
    if (*b == '[') {
      if (e[-1] == ']' && e - b > 2) {
        const char* nb = b + 1;
        const char* ne = e - 1;
        trim(nb, ne);
        sections_.push_back(Section{std::string(nb, ne), lineNo, {}});
        continue;
      }
    } else {
      const char* eq = static_cast<const char*>(memchr(b, '=', static_cast<size_t>(e - b)));
      if (eq != nullptr && eq > b) {
        const char* kb = b;
        const char* ke = eq;
        trim(kb, ke);
        if (kb < ke) {
          const char* vb = eq + 1;
          const char* ve = e;
          trim(vb, ve);
          sections_.back().entries.push_back(Entry{std::string(kb, ke), unquoted(vb, ve), lineNo});
          continue;
        }
      }
    }
    problems_.push_back(Problem{lineNo, std::string(raw, rawEnd)});
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
