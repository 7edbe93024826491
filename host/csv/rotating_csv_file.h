// The file under the CSV device of the log-writer library: <dir>/<prefix>.csv,
// shared by every worker process of a scanner, renamed to
// <prefix>.<UTC YYYYmmddHHMMSS>[.n].csv when a line would take it past the
// rotation size.
//
// Several processes append at once. Each line is appended whole, with one
// write(2) on an O_APPEND descriptor, while this process holds flock(LOCK_EX)
// on the file; the size check, the rename and the append all happen under
// that lock. A process that finds the path pointing at another file than the
// one it holds (another process rotated it, or it was removed) reopens it.
// Descriptors are reopened after fork, since a shared open file would share
// the lock too. Within a process one mutex serialises the threads.
//
// The write(2) goes through a function pointer so that a test can make it fail.
#ifndef KEELGATE_HOST_CSV_ROTATING_CSV_FILE_H
#define KEELGATE_HOST_CSV_ROTATING_CSV_FILE_H

#include <sys/types.h>

#include <mutex>
#include <string>

namespace KELP {

typedef ssize_t (*FileWriteFn)(int fd, const void* buf, size_t len);

class RotatingCsvFile {
 public:
  RotatingCsvFile(const std::string& dir, const std::string& prefix);
  ~RotatingCsvFile();
  RotatingCsvFile(const RotatingCsvFile&) = delete;
  RotatingCsvFile& operator=(const RotatingCsvFile&) = delete;

  // True when `dir` is a directory in which this process may create files.
  static bool usableDirectory(const std::string& dir);

  // The first line of every new file (with its '\n'); empty for none.
  void setHeader(const std::string& header);
  // Mode and owner given to each file this process creates; uid or gid -1
  // leaves that part alone. A failed chown is logged, not fatal.
  void setPermission(mode_t mode, uid_t uid, gid_t gid);
  // Bytes a file may reach; 0 or less: never rotated.
  void setRotationSize(long bytes);

  // Appends one complete line (with its '\n'). On failure throws
  // qx_EXCEPTION_base naming the file and the error; the file then holds no
  // part of the line. A line longer than the rotation size goes alone into a
  // fresh file rather than being refused.
  void append(const std::string& line);

  const std::string& path() const { return path_; }

  // Tests only: the function used instead of write(2); null restores it.
  static void setWriteFunctionForTest(FileWriteFn fn);

 private:
  bool holdsCurrentFile() const;
  void openCurrentFile();
  void closeFile();
  void writeWhole(const std::string& text, off_t sizeBefore);
  void rotate();

  const std::string dir_;
  const std::string prefix_;
  const std::string path_;

  std::mutex mu_;  // guards everything below
  std::string header_;
  mode_t mode_ = 0640;
  uid_t uid_ = static_cast<uid_t>(-1);
  gid_t gid_ = static_cast<gid_t>(-1);
  long rotationBytes_ = 0;
  int fd_ = -1;
  pid_t fdPid_ = 0;  // process that opened fd_
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

}  // namespace KELP

#endif
