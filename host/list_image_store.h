// Where the workers find the list image of the throttling list files: one
// file per state of the lists, <imageDir>/throttling-lists-<digest>.img,
// mapped read-only and shared by every worker, so the page cache holds one
// copy of the lists for the whole pool.
//
// The digest covers the image version, the list directory and, per list
// file, its path, size, modification and change times (nanoseconds), inode
// and device. A file changed within the last two seconds (or stamped in the
// future) may change again without its times moving (file times advance in
// clock ticks), so for such a file its content is hashed in as well.
//
// The first worker that finds no valid image of the current digest builds
// it: under an exclusive lock on <imageDir>/throttling-lists.lock it checks
// again, parses the list files, writes the image under a temporary name and
// renames it into place; the others wait for the lock and map the result.
// A damaged, truncated or foreign file under the digest's name is logged,
// removed and rebuilt. The builder then removes every other image and
// leftover temporary file of the directory: workers still on an older image
// keep their mapping until their own reload.
//
// When no image can be shared (the directory cannot be written, the disk is
// full), the worker logs it and keeps the lists in its own memory.
//
// Threads: load() is called by the accepting thread at worker start and on
// reload; concurrent loads, in one process or many, are safe (the lock file).
#ifndef KEELGATE_HOST_LIST_IMAGE_STORE_H
#define KEELGATE_HOST_LIST_IMAGE_STORE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "host/list_image.h"

namespace KELP {

class ListImageStore {
 public:
  ListImageStore(const std::string& listDir, const std::string& imageDir);

  // The lists as the files are now: `current` itself when they have not
  // changed since it was made (current may be null), else a shared image.
  std::shared_ptr<const ListImage> load(const std::shared_ptr<const ListImage>& current) const;

  // The digest of the list files as they are now.
  uint64_t digestNow() const;
  std::string imagePath(uint64_t digest) const;
  const std::string& imageDir() const { return imageDir_; }

 private:
  struct Source {
    std::string path;
    bool haveText = false;
    std::string text;
  };

  uint64_t stamp(std::vector<Source>& sources) const;
  std::string compile(std::vector<Source>& sources, uint64_t digest) const;
  std::shared_ptr<const ListImage> buildLocked(std::vector<Source>& sources, uint64_t digest) const;
  std::shared_ptr<const ListImage> keepPrivate(std::vector<Source>& sources, uint64_t digest) const;
  bool install(const std::string& path, const std::string& bytes) const;
  void removeOthers(const std::string& keepPath) const;

  const std::string listDir_;
  const std::string imageDir_;
};

}  // namespace KELP

#endif
