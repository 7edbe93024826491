// Collects the entries of the four throttling lists and lays them out as a
// list image (see list_image.h). Used by the one process that builds an
// image; compact while collecting (16 bytes per IP entry, the sender keys in
// one string), so a list of a million entries is built without a hash map
// per entry.
//
// Threads: the IP half (reserveIps, addIp) and the sender half
// (reserveSenders, addSender) share nothing, so one thread may fill each;
// otherwise one thread at a time. A large image is laid out by two threads.
#ifndef KEELGATE_HOST_LISTS_LIST_IMAGE_BUILDER_H
#define KEELGATE_HOST_LISTS_LIST_IMAGE_BUILDER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "host/lists/list_image.h"

namespace KELP {

class ListImageBuilder {
 public:
  // Room for what one list file is about to add (an estimate is fine).
  void reserveIps(ListSide side, size_t ips);
  void reserveSenders(ListSide side, size_t senders, size_t senderBytes);
  // Adds a block (its host bits are ignored); the same block added twice
  // keeps the larger value.
  void addIp(ListSide side, uint32_t addr, int prefix, long long value);
  // Adds "user@example.com" (an address), "@example.com" (a domain) or "<>"
  // (the null sender), ignoring case; false when `entry` is none of them (not
  // exactly one '@', an empty domain, a blank). A repeated entry keeps the
  // larger value.
  bool addSender(ListSide side, const std::string& entry, long long value);
  // The size of the image of the entries added so far.
  size_t imageSize() const { return static_cast<size_t>(layout().fileSize); }
  // Writes the image into `out`: imageSize() bytes, all zero on entry (a
  // fresh mapping of a new file, say). Stamped with `digest` and the hash of
  // the list files' contents (see ListImage::racy).
  void writeTo(char* out, uint64_t digest, uint64_t sourceHash, bool racy) const;
  // The same into a string.
  std::string build(uint64_t digest, uint64_t sourceHash = 0, bool racy = false) const;

 private:
  struct IpEntry {
    uint32_t key;
    int32_t prefix;
    long long value;
  };
  struct SenderEntry {
    uint32_t offset;
    uint32_t length;
    uint64_t hash;  // senderKeyHash of the key
    long long value;
    int kind;  // 0 address, 1 domain
  };

  ListImageHeader layout() const;
  // The two halves of writeTo; each fills its own tables of `h` and `base`.
  void writeIps(ListImageHeader& h, char* base) const;
  void writeSenders(ListImageHeader& h, char* base) const;

  std::vector<IpEntry> ips_[2];
  std::vector<SenderEntry> senders_[2];
  std::string blob_;  // lower-case keys
  bool hasNull_[2] = {false, false};
  long long nullValue_[2] = {0, 0};
};

}  // namespace KELP

#endif
