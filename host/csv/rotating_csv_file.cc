#include "host/csv/rotating_csv_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "host/base/clock.h"
#include "host/log/log.h"
#include "host/csv/qx_exception.h"

namespace KELP {

namespace {

std::atomic<FileWriteFn> g_write_fn{nullptr};

// Bounds the reopen loop when other processes keep rotating under us, and the
// search for a free rotated name.
const int kMaxAttempts = 100;
const int kMaxSuffix = 100000;

std::string errnoText(int err) {
  char buf[128];
  return strerror_r(err, buf, sizeof buf);
}

[[noreturn]] void fail(const char* op, const std::string& path, int err) {
  throw qx_EXCEPTION_base(std::string(op) + " " + path + ": " + errnoText(err));
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// Holds flock(LOCK_EX) on a descriptor for the life of the object.
class FileLock {
 public:
  FileLock(int fd, const std::string& path) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0)
      if (errno != EINTR) fail("flock", path, errno);
  }
  ~FileLock() { flock(fd_, LOCK_UN); }

 private:
  int fd_;
};

}  // namespace

RotatingCsvFile::RotatingCsvFile(const std::string& dir, const std::string& prefix)
    : dir_(dir), prefix_(prefix), path_(joinPath(dir, prefix + ".csv")) {}

RotatingCsvFile::~RotatingCsvFile() { closeFile(); }

bool RotatingCsvFile::usableDirectory(const std::string& dir) {
  struct stat st;
  if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return access(dir.c_str(), W_OK | X_OK) == 0;
}

void RotatingCsvFile::setHeader(const std::string& header) {
  std::lock_guard<std::mutex> lock(mu_);
  header_ = header;
}

void RotatingCsvFile::setPermission(mode_t mode, uid_t uid, gid_t gid) {
  std::lock_guard<std::mutex> lock(mu_);
  mode_ = mode;
  uid_ = uid;
  gid_ = gid;
}

void RotatingCsvFile::setRotationSize(long bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  rotationBytes_ = bytes;
}

void RotatingCsvFile::setWriteFunctionForTest(FileWriteFn fn) { g_write_fn.store(fn); }

void RotatingCsvFile::append(const std::string& line) {
  std::lock_guard<std::mutex> guard(mu_);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (!holdsCurrentFile()) openCurrentFile();
    FileLock lock(fd_, path_);
    // Another process may have rotated the file between our open and our lock.
    if (!holdsCurrentFile()) continue;
    struct stat st;
    if (fstat(fd_, &st) != 0) fail("fstat", path_, errno);
    off_t size = st.st_size;
    if (size == 0 && !header_.empty()) {
      writeWhole(header_, 0);
      size = static_cast<off_t>(header_.size());
    }
    bool holdsRows = size > static_cast<off_t>(header_.size());
    if (rotationBytes_ > 0 && holdsRows &&
        size + static_cast<off_t>(line.size()) > static_cast<off_t>(rotationBytes_)) {
      rotate();  // the next pass opens and locks the fresh file
      continue;
    }
    writeWhole(line, size);
    return;
  }
  throw qx_EXCEPTION_base("append " + path_ + ": the file keeps being replaced");
}

bool RotatingCsvFile::holdsCurrentFile() const {
  if (fd_ < 0 || fdPid_ != getpid()) return false;
  struct stat st;
  return stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

void RotatingCsvFile::openCurrentFile() {
  closeFile();
  int fd = -1;
  bool created = false;
  for (int attempt = 0; fd < 0 && attempt < kMaxAttempts; ++attempt) {
    fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode_);
    if (fd >= 0) {
      created = true;
      break;
    }
    if (errno != EEXIST) fail("create", path_, errno);
    fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno != ENOENT) fail("open", path_, errno);
  }
  if (fd < 0) fail("open", path_, ENOENT);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    fail("fstat", path_, err);
  }
  fd_ = fd;
  fdPid_ = getpid();
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  if (!created) return;
  fchmod(fd, mode_);  // the umask must not narrow the mode asked for
  if ((uid_ != static_cast<uid_t>(-1) || gid_ != static_cast<gid_t>(-1)) &&
      fchown(fd, uid_, gid_) != 0) {
    int err = errno;
    Log::LogByLevel(LOG_NORMAL, "cannot give CSV log file [%s] to uid %d gid %d: %s",
                    path_.c_str(), static_cast<int>(uid_), static_cast<int>(gid_),
                    errnoText(err).c_str());
  }
}

void RotatingCsvFile::closeFile() {
  // In a forked child the descriptor is the parent's too; closing our copy
  // does not release the parent's lock.
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void RotatingCsvFile::writeWhole(const std::string& text, off_t sizeBefore) {
  FileWriteFn fn = g_write_fn.load();
  if (fn == nullptr) fn = ::write;
  ssize_t n;
  do {
    n = fn(fd_, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(text.size())) return;
  int err = n < 0 ? errno : ENOSPC;  // a short write means the space ran out
  // Take back the part that went out, so no reader ever sees a torn line. We
  // hold the lock, so nobody appended after us.
  if (n > 0 && ftruncate(fd_, sizeBefore) != 0) {
    Log::LogByLevel(LOG_NORMAL, "cannot cut partial line from CSV log file [%s]: %s",
                    path_.c_str(), errnoText(errno).c_str());
  }
  fail("write", path_, err);
}

void RotatingCsvFile::rotate() {
  char stamp[32] = "";
  time_t now = Clock::now();
  struct tm tmv;
  if (gmtime_r(&now, &tmv) != nullptr) strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tmv);
  std::string base = joinPath(dir_, prefix_ + "." + stamp);
  std::string target = base + ".csv";
  struct stat st;
  for (int n = 1; lstat(target.c_str(), &st) == 0; ++n) {
    if (n > kMaxSuffix) fail("rotate", path_, EEXIST);
    target = base + "." + std::to_string(n) + ".csv";
  }
  // The descriptor stays open until the caller has dropped its lock.
  if (rename(path_.c_str(), target.c_str()) != 0) fail("rename", path_ + " to " + target, errno);
}

}  // namespace KELP
