#include "host/list_image_store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/byte_hash.h"
#include "host/clock.h"
#include "host/config_file_on_disk.h"
#include "host/log.h"
#include "host/throttling_lists.h"

namespace KELP {

namespace {

const char kImagePrefix[] = "throttling-lists-";
const char kLockName[] = "throttling-lists.lock";
// A file whose times are this close to now may change again unseen.
const long long kRacySeconds = 2;

uint64_t hashText(uint64_t h, const std::string& text) {
  return hashNumber(h, hashBytes(text.data(), text.size()));
}

long long msSince(const struct timeval& start) {
  struct timeval now = Clock::nowPrecise();
  return (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_usec - start.tv_usec) / 1000;
}

// Holds an exclusive flock until it goes out of scope.
class LockFile {
 public:
  explicit LockFile(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd_);
      fd_ = -1;
      errno = err;
      return;
    }
  }
  ~LockFile() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

void logLoaded(const std::string& dir, const ListImage& image, const char* how) {
  Log::LogByLevel(LOG_DIAGNOSTIC,
                  "throttling lists of [%s] loaded (%s, %zu bytes): approved_ip %zu, blocked_ip %zu, "
                  "approved_sender %zu, blocked_sender %zu entries",
                  dir.c_str(), how, image.size(), image.entries(0), image.entries(1), image.entries(2),
                  image.entries(3));
}

}  // namespace

ListImageStore::ListImageStore(const std::string& listDir, const std::string& imageDir)
    : listDir_(listDir), imageDir_(imageDir) {}

std::string ListImageStore::imagePath(uint64_t digest) const {
  char name[64];
  snprintf(name, sizeof name, "%s%016" PRIx64 ".img", kImagePrefix, digest);
  return imageDir_ + "/" + name;
}

uint64_t ListImageStore::stamp(std::vector<Source>& sources) const {
  uint64_t h = hashNumber(0, kListImageVersion);
  h = hashText(h, listDir_);
  long long now = static_cast<long long>(Clock::now());
  sources.assign(kThrottlingListCount, Source());
  for (int i = 0; i < kThrottlingListCount; ++i) {
    Source& src = sources[i];
    src.path = listDir_ + "/" + throttlingListFile(static_cast<ThrottlingListKind>(i));
    h = hashText(h, src.path);
    struct stat st;
    if (stat(src.path.c_str(), &st) != 0) {
      h = hashNumber(h, static_cast<uint64_t>(errno));
      continue;
    }
    const uint64_t fields[] = {static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_mtim.tv_sec),
                               static_cast<uint64_t>(st.st_mtim.tv_nsec), static_cast<uint64_t>(st.st_ctim.tv_sec),
                               static_cast<uint64_t>(st.st_ctim.tv_nsec), static_cast<uint64_t>(st.st_ino),
                               static_cast<uint64_t>(st.st_dev)};
    for (uint64_t field : fields) h = hashNumber(h, field);
    long long newest = st.st_mtim.tv_sec > st.st_ctim.tv_sec ? st.st_mtim.tv_sec : st.st_ctim.tv_sec;
    if (newest + kRacySeconds >= now && readWholeFile(src.path, src.text)) {
      src.haveText = true;
      h = hashText(h, src.text);
    }
  }
  return h;
}

uint64_t ListImageStore::digestNow() const {
  std::vector<Source> sources;
  return stamp(sources);
}

std::string ListImageStore::compile(std::vector<Source>& sources, uint64_t digest) const {
  ListImageBuilder builder;
  for (int i = 0; i < kThrottlingListCount; ++i) {
    Source& src = sources[i];
    if (!src.haveText && !readWholeFile(src.path, src.text)) {
      if (errno != ENOENT)
        Log::LogByLevel(LOG_NORMAL, "throttling list [%s]: cannot read it (%s), taken as empty",
                        src.path.c_str(), strerror(errno));
      continue;
    }
    parseThrottlingList(static_cast<ThrottlingListKind>(i), src.path, src.text, builder);
    std::string().swap(src.text);
  }
  return builder.build(digest);
}

std::shared_ptr<const ListImage> ListImageStore::load(const std::shared_ptr<const ListImage>& current) const {
  std::vector<Source> sources;
  uint64_t digest = stamp(sources);
  if (current != nullptr && current->digest() == digest) return current;
  std::string problem;
  std::shared_ptr<const ListImage> image = ListImage::openFile(imagePath(digest), digest, problem);
  if (image != nullptr) {
    logLoaded(listDir_, *image, "shared image");
    return image;
  }
  if (mkdir(imageDir_.c_str(), 0755) != 0 && errno != EEXIST) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot create [%s] (%s)", imageDir_.c_str(),
                    strerror(errno));
    return keepPrivate(sources, digest);
  }
  LockFile lock(imageDir_ + "/" + kLockName);
  if (lock.fd() < 0) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot lock [%s/%s] (%s)", imageDir_.c_str(),
                    kLockName, strerror(errno));
    return keepPrivate(sources, digest);
  }
  image = buildLocked(sources, digest);
  malloc_trim(0);  // the builder's parse buffers go back to the system
  return image;
}

std::shared_ptr<const ListImage> ListImageStore::buildLocked(std::vector<Source>& sources,
                                                            uint64_t digest) const {
  std::string path = imagePath(digest);
  std::string problem;
  std::shared_ptr<const ListImage> image = ListImage::openFile(path, digest, problem);
  if (image != nullptr) {  // built by another worker while this one waited
    logLoaded(listDir_, *image, "shared image");
    return image;
  }
  if (!problem.empty()) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image [%s] rejected: %s; building it again", path.c_str(),
                    problem.c_str());
    unlink(path.c_str());
  }
  struct timeval start = Clock::nowPrecise();
  std::string bytes = compile(sources, digest);
  if (install(path, bytes)) {
    removeOthers(path);
    image = ListImage::openFile(path, digest, problem);
    if (image == nullptr)
      Log::LogByLevel(LOG_NORMAL, "throttling list image [%s] cannot be used: %s", path.c_str(), problem.c_str());
  }
  if (image == nullptr) {
    image = ListImage::fromBytes(std::move(bytes), problem);
    logLoaded(listDir_, *image, "private copy");
    return image;
  }
  Log::LogByLevel(LOG_DIAGNOSTIC, "throttling list image [%s] built in %lld ms", path.c_str(), msSince(start));
  logLoaded(listDir_, *image, "shared image, built here");
  return image;
}

std::shared_ptr<const ListImage> ListImageStore::keepPrivate(std::vector<Source>& sources, uint64_t digest) const {
  std::string problem;
  std::shared_ptr<const ListImage> image = ListImage::fromBytes(compile(sources, digest), problem);
  malloc_trim(0);
  logLoaded(listDir_, *image, "private copy");
  return image;
}

// Writes `bytes` under a temporary name and renames it to `path`, so a reader
// sees either no file or the whole image.
bool ListImageStore::install(const std::string& path, const std::string& bytes) const {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  int err = errno;
  if (fd >= 0 && close(fd) != 0 && ok) ok = false, err = errno;
  if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = false, err = errno;
  if (!ok) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot write [%s] (%s), lists kept in private memory",
                    temp.c_str(), strerror(err));
    unlink(temp.c_str());
  }
  return ok;
}

void ListImageStore::removeOthers(const std::string& keepPath) const {
  DIR* dir = opendir(imageDir_.c_str());
  if (dir == nullptr) return;
  std::string keep = keepPath.substr(keepPath.rfind('/') + 1);
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, sizeof kImagePrefix - 1, kImagePrefix) != 0 || name == keep) continue;
    if (unlinkat(dirfd(dir), name.c_str(), 0) != 0 && errno != ENOENT)
      Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot remove stale [%s/%s] (%s)", imageDir_.c_str(),
                      name.c_str(), strerror(errno));
  }
  closedir(dir);
}

}  // namespace KELP
