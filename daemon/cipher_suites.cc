#include "daemon/cipher_suites.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/globals.h"

namespace {

// One listing line: "<name> <protocol> Kx=.. Au=.. Enc=AES(256) Mac=..".
void extractLine(const std::string& line, int type) {
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "Current line to process is [%s]", line.c_str());
  size_t blank = line.find(' ');
  if (blank == std::string::npos) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "extract cipher_name fail");
    return;
  }
  std::string name = line.substr(0, blank);
  if (line.find("SSLv2") != std::string::npos) {
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "should omit ciphers of SSLv2 for security");
    return;
  }
  size_t open = line.find('(');
  size_t close = line.find(')');
  if (open == std::string::npos || close == std::string::npos) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "extract cipher_length fail");
    return;
  }
  // A ")" before the first "(" yields an empty length rather than a crash.
  std::string length = close > open ? line.substr(open + 1, close - open - 1) : std::string();
  if (type == CIPHER_SUITES_HIGH) {
    g_high_cipher_suites[name] = length;
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "Cipher suites type is [High], cipher is [%s], length is [%s]",
                          name.c_str(), length.c_str());
  } else if (type == CIPHER_SUITES_MEDIUM) {
    g_medium_cipher_suites[name] = length;
    KELP::Log::LogByLevel(KELP::LOG_DEBUG,
                          "Cipher suites type is [Medium], cipher is [%s], length is [%s]",
                          name.c_str(), length.c_str());
  } else {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "no such cipher suites type, cipher is [%s], length is [%s]",
                          name.c_str(), length.c_str());
  }
}

void extractLines(std::istream& in, int type) {
  std::string line;
  while (std::getline(in, line)) extractLine(line, type);
}

// Runs `<tool> ciphers -v <cipherClass>` with its standard output on `out`, in
// a fixed environment rather than the one the daemon was started with;
// KEELGATE_OPENSSL, which script/openssl reads to find the real tool, passes
// through when set. Returns the wait status (the exit code times 256, as
// system(3) gives it), or -1 when no child could be run.
int runListing(const std::string& tool, const char* cipherClass, int out) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  if (const char* real = getenv("KEELGATE_OPENSSL")) env.push_back(std::string("KEELGATE_OPENSSL=") + real);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  const char* argv[] = {tool.c_str(), "ciphers", "-v", cipherClass, nullptr};
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // Nothing but the three standard descriptors reaches the tool, whatever
    // a library left open without close-on-exec (a failure here leaves only
    // the descriptors without it). `out` may already be descriptor 1 when
    // the standard ones were closed: it then only loses its close-on-exec.
    bool ready = out == STDOUT_FILENO ? fcntl(out, F_SETFD, 0) == 0 : dup2(out, STDOUT_FILENO) >= 0;
    if (ready) {
      syscall(SYS_close_range, 3u, ~0u, 0u);
      execve(tool.c_str(), const_cast<char* const*>(argv), envp.data());
    }
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return status;
}

// The whole listing from the descriptor the child wrote it to.
bool readListing(int fd, std::string& text) {
  char buf[4096];
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buf, static_cast<size_t>(n));
    at += n;
  }
}

}  // namespace

void extract_ciphers_map(const char* path, int type) {
  std::ifstream in(path);
  if (!in.is_open()) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "Failed to open cipher list file [%s], error: %s", path,
                          strerror(errno));
    return;
  }
  extractLines(in, type);
}

bool loadCipherClass(const char* cipherClass, const char* listing, int type) {
  std::string file = g_kelp_home + listing;
  std::string tool = g_kelp_home + "/script/openssl";
  std::string shown = tool + " ciphers -v \"" + cipherClass + "\" >" + file;
  // bin/ is writable by the service account: whatever lies at the name is
  // removed first, and the listing goes into a new file of this process that
  // is read back through the same descriptor, never through a link.
  unlink(file.c_str());
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "cannot create cipher list file [%s]: %s", file.c_str(), strerror(errno));
  int status = fd < 0 ? -1 : runListing(tool, cipherClass, fd);
  std::string text;
  bool ok = false;
  if (status != 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "Run command (%s) error: %d", shown.c_str(), status);
  else if (access(file.c_str(), F_OK) != 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "access cipher list file error: %d", 0);
  else if (!readListing(fd, text))
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "Failed to read cipher list file [%s], error: %s", file.c_str(),
                          strerror(errno));
  else
    ok = true;
  if (fd >= 0) close(fd);
  if (!ok) return false;
  std::istringstream in(text);
  extractLines(in, type);
  unlink(file.c_str());
  return true;
}
