#include "host/base/file_stamp.h"

#include <sys/stat.h>

namespace KELP {

namespace {

// A change this close to now may be followed by another within the same tick.
const long long kSettleSeconds = 2;

}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
  for (int i = 0; i < 7; ++i)
    if (fields[i] != other.fields[i]) return false;
  return true;
}

bool FileStamp::settledAt(long long now) const { return newest + kSettleSeconds < now; }

bool readFileStamp(const std::string& path, FileStamp& stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  const uint64_t fields[7] = {static_cast<uint64_t>(st.st_size),       static_cast<uint64_t>(st.st_mtim.tv_sec),
                              static_cast<uint64_t>(st.st_mtim.tv_nsec), static_cast<uint64_t>(st.st_ctim.tv_sec),
                              static_cast<uint64_t>(st.st_ctim.tv_nsec), static_cast<uint64_t>(st.st_ino),
                              static_cast<uint64_t>(st.st_dev)};
  for (int i = 0; i < 7; ++i) stamp.fields[i] = fields[i];
  stamp.newest = st.st_mtim.tv_sec > st.st_ctim.tv_sec ? st.st_mtim.tv_sec : st.st_ctim.tv_sec;
  return true;
}

}  // namespace KELP
