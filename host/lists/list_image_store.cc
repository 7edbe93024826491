#include "host/lists/list_image_store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "host/lists/byte_hash.h"
#include "host/base/clock.h"
#include "host/config/config_file_on_disk.h"
#include "host/base/file_stamp.h"
#include "host/base/huge_pages.h"
#include "host/log/log.h"
#include "host/lists/throttling_lists.h"

namespace KELP {

namespace {

const char kImagePrefix[] = "throttling-lists-";
const char kLockName[] = "throttling-lists.lock";

uint64_t hashText(uint64_t h, const std::string& text) {
  return hashNumber(h, hashBytes(text.data(), text.size()));
}

long long msSince(const struct timeval& start) {
  struct timeval now = Clock::nowPrecise();
  return (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_usec - start.tv_usec) / 1000;
}

void logLoaded(const std::string& dir, const ListImage& image, const char* how) {
  Log::LogByLevel(LOG_DIAGNOSTIC,
                  "throttling lists of [%s] loaded (%s, %zu bytes): approved_ip %zu, blocked_ip %zu, "
                  "approved_sender %zu, blocked_sender %zu entries",
                  dir.c_str(), how, image.size(), image.entries(0), image.entries(1), image.entries(2),
                  image.entries(3));
}

}  // namespace

// Holds an exclusive flock until it goes out of scope.
class ListImageStore::Lock {
 public:
  explicit Lock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
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
  ~Lock() { release(); }
  void release() {
    if (fd_ >= 0) close(fd_);  // releases the lock
    fd_ = -1;
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

ListImageStore::ListImageStore(const std::string& listDir, const std::string& imageDir)
    : listDir_(listDir), imageDir_(imageDir) {}

std::string ListImageStore::imagePath(uint64_t digest) const {
  char name[64];
  snprintf(name, sizeof name, "%s%016" PRIx64 ".img", kImagePrefix, digest);
  return imageDir_ + "/" + name;
}

void ListImageStore::stamp(Sources& sources) const {
  uint64_t h = hashNumber(0, kListImageVersion);
  h = hashText(h, listDir_);
  long long now = static_cast<long long>(Clock::now());
  for (int i = 0; i < kThrottlingListCount; ++i) {
    std::string& path = sources.paths[i];
    path = listDir_ + "/" + throttlingListFile(static_cast<ThrottlingListKind>(i));
    h = hashText(h, path);
    FileStamp file;
    if (!readFileStamp(path, file)) {
      h = hashNumber(h, static_cast<uint64_t>(errno));
      continue;
    }
    for (uint64_t field : file.fields) h = hashNumber(h, field);
    if (!file.settledAt(now)) sources.racy = true;
  }
  sources.digest = h;
}

uint64_t ListImageStore::digestNow() const {
  Sources sources;
  stamp(sources);
  return sources.digest;
}

// Reads the files once per load; a file that cannot be read is logged and
// taken as empty.
void ListImageStore::readTexts(Sources& sources) {
  if (sources.read) return;
  for (int i = 0; i < kThrottlingListCount; ++i) {
    if (!readWholeFile(sources.paths[i], sources.texts[i])) {
      if (errno != ENOENT)
        Log::LogByLevel(LOG_NORMAL, "throttling list [%s]: cannot read it (%s), taken as empty",
                        sources.paths[i].c_str(), strerror(errno));
      sources.texts[i].clear();
    }
  }
  sources.read = true;
}

uint64_t ListImageStore::contentHash(Sources& sources) {
  readTexts(sources);
  uint64_t h = 0;
  for (const std::string& text : sources.texts) h = hashText(h, text);
  return h;
}

// An image that answers for the files as they are now.
bool ListImageStore::usable(const std::shared_ptr<const ListImage>& image, Sources& sources) {
  return image != nullptr && (!image->racy() || image->sourceHash() == contentHash(sources));
}

// Parses the list files into `builder`; returns the hash of their contents
// when they are racy (only a racy image is ever checked against it), else 0.
// The IP lists and the sender lists fill separate halves of the builder, so
// large ones are parsed side by side.
uint64_t ListImageStore::compile(Sources& sources, ListImageBuilder& builder) {
  readTexts(sources);
  uint64_t sourceHash = sources.racy ? contentHash(sources) : 0;
  auto parse = [&sources, &builder](int first, int end) {
    for (int i = first; i < end; ++i) {
      parseThrottlingList(static_cast<ThrottlingListKind>(i), sources.paths[i], sources.texts[i], builder);
      std::string().swap(sources.texts[i]);
    }
  };
  static_assert(static_cast<int>(ThrottlingListKind::kApprovedIp) == 0 &&
                    static_cast<int>(ThrottlingListKind::kBlockedIp) == 1,
                "the IP lists come first");
  const size_t kParallelBytes = 4 << 20;
  size_t bytes = 0;
  for (const std::string& text : sources.texts) bytes += text.size();
  if (bytes >= kParallelBytes) {
    std::thread ips(parse, 0, 2);
    parse(2, kThrottlingListCount);
    ips.join();
  } else {
    parse(0, kThrottlingListCount);
  }
  sources.read = false;
  return sourceHash;
}

std::shared_ptr<const ListImage> ListImageStore::load(const std::shared_ptr<const ListImage>& current) const {
  Sources sources;
  stamp(sources);
  if (current != nullptr && current->digest() == sources.digest && usable(current, sources))
    return settled(current, sources);
  std::string problem;
  std::shared_ptr<const ListImage> image = ListImage::openFile(imagePath(sources.digest), sources.digest, problem);
  if (usable(image, sources)) {
    logLoaded(listDir_, *image, "shared image");
    return settled(image, sources);
  }
  if (mkdir(imageDir_.c_str(), 0755) != 0 && errno != EEXIST) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot create [%s] (%s)", imageDir_.c_str(),
                    strerror(errno));
    return keepPrivate(sources);
  }
  Lock lock(imageDir_ + "/" + kLockName);
  if (lock.fd() < 0) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot lock [%s/%s] (%s)", imageDir_.c_str(),
                    kLockName, strerror(errno));
    return keepPrivate(sources);
  }
  image = buildLocked(sources, lock);
  malloc_trim(0);  // the builder's parse buffers go back to the system
  return image;
}

// Releases `lock` as soon as the image is in place (or could not be put
// there): the workers waiting for it then map the image while this one
// checks it and frees its buffers.
std::shared_ptr<const ListImage> ListImageStore::buildLocked(Sources& sources, Lock& lock) const {
  std::string path = imagePath(sources.digest);
  std::string problem;
  std::shared_ptr<const ListImage> image = ListImage::openFile(path, sources.digest, problem);
  if (usable(image, sources)) {  // built by another worker while this one waited
    logLoaded(listDir_, *image, "shared image");
    return image;
  }
  if (image != nullptr) problem = "the list files changed since it was built";
  if (!problem.empty()) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image [%s] rejected: %s; building it again", path.c_str(),
                    problem.c_str());
    unlink(path.c_str());
  }
  image.reset();
  struct timeval start = Clock::nowPrecise();
  ListImageBuilder builder;
  uint64_t sourceHash = compile(sources, builder);
  bool installed = install(path, builder, sources, sourceHash);
  if (installed) removeOthers(path);
  lock.release();
  if (installed) {
    image = ListImage::openFile(path, sources.digest, problem);
    if (image == nullptr)
      Log::LogByLevel(LOG_NORMAL, "throttling list image [%s] cannot be used: %s", path.c_str(), problem.c_str());
  }
  if (image == nullptr) {
    image = ListImage::fromBytes(builder.build(sources.digest, sourceHash, sources.racy), problem);
    logLoaded(listDir_, *image, "private copy");
    return image;
  }
  Log::LogByLevel(LOG_DIAGNOSTIC, "throttling list image [%s] built in %lld ms", path.c_str(), msSince(start));
  logLoaded(listDir_, *image, "shared image, built here");
  return image;
}

// A racy image whose files have settled since, and still hold what it was
// built from (usable() compared them), is written again without the mark:
// until then every load of every worker reads and hashes the list files.
std::shared_ptr<const ListImage> ListImageStore::settled(const std::shared_ptr<const ListImage>& image,
                                                         const Sources& sources) const {
  if (!image->racy() || sources.racy || !image->shared()) return image;
  Lock lock(imageDir_ + "/" + kLockName);
  if (lock.fd() < 0) return image;
  std::string path = imagePath(sources.digest);
  std::string problem;
  std::shared_ptr<const ListImage> onDisk = ListImage::openFile(path, sources.digest, problem);
  if (onDisk != nullptr && !onDisk->racy()) return onDisk;  // settled by another worker
  std::string temp = path + ".tmp." + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
  int err = fd < 0 || !image->writeSettledCopy(fd) ? errno : 0;
  if (fd >= 0 && close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot write [%s] (%s), list files read on each load",
                    temp.c_str(), strerror(err));
    unlink(temp.c_str());
    return image;
  }
  onDisk = ListImage::openFile(path, sources.digest, problem);
  return onDisk != nullptr ? onDisk : image;
}

std::shared_ptr<const ListImage> ListImageStore::keepPrivate(Sources& sources) const {
  std::string problem;
  std::shared_ptr<const ListImage> image;
  {
    ListImageBuilder builder;
    uint64_t sourceHash = compile(sources, builder);
    image = ListImage::fromBytes(builder.build(sources.digest, sourceHash, sources.racy), problem);
  }
  malloc_trim(0);
  logLoaded(listDir_, *image, "private copy");
  return image;
}

// Writes the image under a temporary name and renames it to `path`, so a
// reader sees either no file or the whole image. The image is laid out in
// anonymous memory on huge pages and written with one write(): laying it out
// through a shared mapping of the file took a write fault per 4 kB page.
bool ListImageStore::install(const std::string& path, const ListImageBuilder& builder, const Sources& sources,
                             uint64_t sourceHash) const {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  size_t size = builder.imageSize();
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot allocate %zu bytes (%s), lists kept in private memory",
                    size, strerror(errno));
    return false;
  }
  adviseHugePages(map, size);
  builder.writeTo(static_cast<char*>(map), sources.digest, sourceHash, sources.racy);
  // Read-only for everyone: the image is never changed in place (a file
  // truncated under the workers' mappings would fault them).
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
  int err = fd < 0 ? errno : 0;
  if (err == 0 && !writeAll(fd, static_cast<const char*>(map), size)) err = errno;
  munmap(map, size);
  if (fd >= 0 && close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    Log::LogByLevel(LOG_NORMAL, "throttling list image: cannot write [%s] (%s), lists kept in private memory",
                    temp.c_str(), strerror(err));
    unlink(temp.c_str());
  }
  return err == 0;
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
