// What stat(2) says about a configuration file, to tell whether it changed
// since it was last read without reading it again.
//
// File times advance in clock ticks, so a file rewritten twice within one
// tick keeps its stamp. A stamp taken less than two seconds after the file's
// last change (or of a file stamped in the future) is therefore not settled:
// a reader must not take an equal stamp later as proof that nothing changed.
#ifndef KEELGATE_HOST_BASE_FILE_STAMP_H
#define KEELGATE_HOST_BASE_FILE_STAMP_H

#include <stdint.h>
#include <time.h>

#include <string>

namespace KELP {

struct FileStamp {
  uint64_t fields[7] = {};  // size, mtime s/ns, ctime s/ns, inode, device
  long long newest = 0;     // the later of mtime and ctime, seconds

  bool operator==(const FileStamp& other) const;
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
  // True when the file last changed at least two seconds before `now`.
  bool settledAt(long long now) const;
};

// The stamp of `path`; false (errno kept) when it cannot be stat'ed.
bool readFileStamp(const std::string& path, FileStamp& stamp);

}  // namespace KELP

#endif
