// Reader of the gateway's ini files (kelp.ini, slave.nfo, odbc.ini,
// tls_policy.ini, resource.ini, config/ha/keelgate).
//
// Format: "[section]" lines, "key = value" lines, blanks around "=" and at both
// ends ignored, whole-line comments starting with '#' or ';', and trailing
// comments that start with a blank followed by '#' or ';'. A value in double
// quotes keeps its blanks and any '#' or ';'. Keys before the first section
// belong to the section "". Keys and sections are case-sensitive; a repeated
// key keeps its last value. Any other line is skipped and remembered as a
// problem with its line number, so callers can log it.
//
// The whole file is read in the constructor; the object is immutable after
// that and may be read from any thread.
#ifndef KEELGATE_HOST_CONFIG_CONFIG_FILE_ON_DISK_H
#define KEELGATE_HOST_CONFIG_CONFIG_FILE_ON_DISK_H

#include <string>
#include <utility>
#include <vector>

namespace KELP {

class ConfigFileOnDisk {
 public:
  struct Entry {
    std::string key;
    std::string value;
    int line;
  };
  struct Section {
    std::string name;
    int line;  // 0 for the implicit section ""
    std::vector<Entry> entries;
  };
  struct Problem {
    int line;
    std::string text;
  };

  explicit ConfigFileOnDisk(const char* path);

  // True when the file could be read. Callers test it before any lookup.
  bool loaded;

  // True when the key exists in the section; its value is stored in `value`.
  bool getparam(const char* section, const char* key, std::string& value) const;

  const std::string& path() const { return path_; }
  // Sections in file order; a section named twice appears twice.
  const std::vector<Section>& sections() const { return sections_; }
  // Lines that are neither a section, a key = value line, a comment nor blank.
  const std::vector<Problem>& problems() const { return problems_; }
  // errno of the failed read when loaded is false.
  int readError() const { return read_error_; }

  // Logs every problem at the "normal" level, naming file and line.
  void logProblems() const;

  // Parses ini text; exposed for tests and for readers of in-memory text.
  void parse(const std::string& text);

 private:
  std::string path_;
  std::vector<Section> sections_;
  std::vector<Problem> problems_;
  int read_error_ = 0;
};

// Largest file readWholeFile reads: a configuration or list file beyond it
// is refused rather than read into every worker.
constexpr unsigned long long kMaxReadFileBytes = 256ULL << 20;

// Reads a whole regular file into `out`; false (errno kept) when it cannot be
// read. A file that is not a regular file (EINVAL; EISDIR for a directory) or
// is larger than kMaxReadFileBytes (EFBIG) is refused with a log line.
bool readWholeFile(const std::string& path, std::string& out);

// Writes all `size` bytes to `fd`, retrying short writes; false (errno
// kept) when it cannot.
bool writeAll(int fd, const char* data, size_t size);

// Parses a boolean word of the ini files: yes/no, true/false, on/off, 1/0 in
// any case. False when the word is none of these.
bool parseBoolWord(const std::string& word, bool& value);

}  // namespace KELP

#endif
