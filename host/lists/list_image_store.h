// Where the workers find the list image of the throttling list files: one
// file per state of the lists, <imageDir>/throttling-lists-<digest>.img,
// mapped read-only and shared by every worker, so the page cache holds one
// copy of the lists for the whole pool.
//
// The digest covers the image version, the list directory and, per list
// file, its path, size, modification and change times (nanoseconds), inode
// and device, so a reload that finds the digest unchanged reads nothing.
// File times advance in clock ticks, though: a file rewritten twice within
// one tick keeps its stamps. An image built from a file changed less than two
// seconds before (or stamped in the future) is therefore marked racy and
// carries the hash of the files' contents; whoever uses a racy image hashes
// the files again and rebuilds it when they differ. Once the files are older
// than that and still match, the image is written again unmarked, so later
// loads read nothing.
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
#ifndef KEELGATE_HOST_LISTS_LIST_IMAGE_STORE_H
#define KEELGATE_HOST_LISTS_LIST_IMAGE_STORE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "host/lists/list_image.h"
#include "host/lists/list_image_builder.h"

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
  // The list files as found by one load.
  struct Sources {
    std::string paths[4];
    std::string texts[4];
    bool read = false;  // texts hold the contents
    bool racy = false;
    uint64_t digest = 0;
  };

  void stamp(Sources& sources) const;
  static void readTexts(Sources& sources);
  static uint64_t contentHash(Sources& sources);
  static bool usable(const std::shared_ptr<const ListImage>& image, Sources& sources);
  static uint64_t compile(Sources& sources, ListImageBuilder& builder);
  class Lock;  // the exclusive flock on <imageDir>/throttling-lists.lock
  std::shared_ptr<const ListImage> buildLocked(Sources& sources, Lock& lock) const;
  std::shared_ptr<const ListImage> settled(const std::shared_ptr<const ListImage>& image,
                                           const Sources& sources) const;
  std::shared_ptr<const ListImage> keepPrivate(Sources& sources) const;
  bool install(const std::string& path, const ListImageBuilder& builder, const Sources& sources,
               uint64_t sourceHash) const;
  void removeOthers(const std::string& keepPath) const;

  const std::string listDir_;
  const std::string imageDir_;
};

}  // namespace KELP

#endif
