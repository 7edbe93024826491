// The throttling lists compiled into one compact, immutable block of bytes —
// the list image — and the lookups on it.
//
// The image is built once (see list_image_builder.h) and then mapped
// read-only by every worker (see list_image_store.h), so the twenty workers
// of the pool share one copy of the lists in the page cache instead of each
// holding a private one. Nothing in it points outside it: tables hold offsets.
//
// Layout: a header (magic, version, size, digest of the list files it was
// built from, checksums, a directory of tables), then
//  - per list side (approved, blocked) and per prefix length 0..32, an
//    open-addressing hash table of IPv4 blocks (slot: masked address, used
//    flag, expiration) and, for lengths 16 to 32, a bitmap of the /16
//    networks that hold blocks of that length: a lookup skips a length whose
//    bit is clear without touching its (possibly large) table;
//  - per side, one table of whole sender addresses and one of domains (slot:
//    offset and length in the string blob, hash, expiration);
//  - the string blob of the sender keys, in lower case;
//  - the null sender of each side, in the header.
// Tables are filled to at most 75 % and probed linearly from the slot that
// the key's hash scales to; a lookup costs one probe sequence per prefix
// length present (IPs) or two (senders), whatever the number of entries.
//
// Thread safety: immutable once made; lookups are safe from any thread.
#ifndef KEELGATE_HOST_LISTS_LIST_IMAGE_H
#define KEELGATE_HOST_LISTS_LIST_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

namespace KELP {

enum class ListSide { kApproved = 0, kBlocked = 1 };

// Raised whenever the layout or the reading of the list files changes, so an
// image left by another build of the daemon is never taken for a current one.
constexpr uint32_t kListImageVersion = 3;

// Bitmaps of /16 networks: one bit per value of an address's top 16 bits.
constexpr int kFilterMinLength = 16;
constexpr size_t kFilterBytes = 65536 / 8;

struct ListImageTable {
  uint64_t offset;    // from the start of the image; 8-aligned
  uint64_t capacity;  // slots
  uint64_t count;     // slots in use
};

struct ListImageHeader {
  char magic[8];
  uint32_t version;
  uint32_t headerSize;
  uint64_t fileSize;
  uint64_t digest;          // of the list files the image was built from
  uint64_t bodyChecksum;    // of the bytes after the header
  uint64_t headerChecksum;  // of the header with this field zero
  ListImageTable ip[2][33];     // [side][prefix length]
  uint64_t ipFilter[2][33];     // offset of the length's /16 bitmap, or 0
  ListImageTable sender[2][2];  // [side][0 addresses, 1 domains]
  uint64_t blobOffset;
  uint64_t blobSize;
  long long nullValue[2];  // [side]
  uint32_t hasNull[2];
  uint64_t entries[4];  // approved_ip, blocked_ip, approved_sender, blocked_sender
  uint64_t sourceHash;  // of the list files' contents
  uint32_t racy;        // a list file had changed just before the build
  uint32_t reserved;
};

struct ListImageIpSlot {
  uint32_t key;  // address masked to the table's prefix length
  uint32_t used;
  long long value;
};

struct ListImageSenderSlot {
  uint32_t offset;  // into the blob
  uint32_t length;  // 0: free slot (keys are never empty)
  uint32_t hash;    // low half of the key's hash
  uint32_t unused;
  long long value;
};

extern const char kListImageMagic[8];

// Slot index hashes shared by the builder and the lookups.
uint64_t ipSlotHash(uint32_t key);
// Hash of the ASCII lower case of `len` bytes.
uint64_t senderKeyHash(const char* text, size_t len);
// The first slot to probe for `hash` in a table of `capacity` (> 0) slots.
inline uint64_t firstSlot(uint64_t hash, uint64_t capacity) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(hash) * capacity) >> 64);
}

// Checks that `size` bytes at `data` form a whole, undamaged image of
// `digest`; on failure says why in `problem`.
bool checkListImage(const char* data, size_t size, uint64_t digest, std::string& problem);

class ListImage {
 public:
  // Maps the file at `path` read-only and shared, and checks it. Null when it
  // is missing (problem empty, errno ENOENT) or not a whole image of `digest`
  // (problem says why).
  static std::shared_ptr<const ListImage> openFile(const std::string& path, uint64_t digest,
                                                   std::string& problem);
  // An image held in this process's own memory (no shared file could be
  // used). Null when `bytes` is not a whole image.
  static std::shared_ptr<const ListImage> fromBytes(std::string bytes, std::string& problem);

  ~ListImage();
  ListImage(const ListImage&) = delete;
  ListImage& operator=(const ListImage&) = delete;

  // Expiration of the longest block of `side` holding `addr`, or null.
  const long long* ipMatch(ListSide side, uint32_t addr) const;
  // A sender hashed once for the lookups on both sides. Must not outlive the
  // string it was made from.
  struct SenderKey {
    const std::string* sender;
    bool null;     // "" or "<>"
    bool hasAt;    // domain is the sender's domain (see sender_address.h)
    const char* domain;
    size_t domainLength;
    size_t addressLength;  // without the domain's trailing dot
    uint64_t addressHash;
    uint64_t domainHash;
  };
  // Prepares `sender` and starts loading the slots its lookups probe first
  // on both sides, so that their cache misses overlap.
  SenderKey prepareSender(const std::string& sender) const;
  // Expiration of the most specific entry of `side` matching the sender
  // (address, then its domain as senderDomain() gives it; "" and "<>" are
  // the null sender), ignoring ASCII case; or null.
  const long long* senderMatch(ListSide side, const SenderKey& key) const;
  const long long* senderMatch(ListSide side, const std::string& sender) const {
    return senderMatch(side, prepareSender(sender));
  }

  // Starts loading the slot that ipMatch probes first on each side, so that
  // the cache misses of the lookups that follow overlap. Optional.
  void prefetchIp(uint32_t addr) const;

  uint64_t digest() const { return header_->digest; }
  // Built from list files changed just before: their times may not show a
  // later change, so a user compares sourceHash() with their contents.
  bool racy() const { return header_->racy != 0; }
  uint64_t sourceHash() const { return header_->sourceHash; }
  // Writes a copy of this image, marked as built from settled files, to the
  // open file `fd`; errno when it fails.
  bool writeSettledCopy(int fd) const;
  // Distinct entries of list 0..3 (approved_ip, blocked_ip, approved_sender,
  // blocked_sender).
  size_t entries(int list) const { return static_cast<size_t>(header_->entries[list]); }
  size_t size() const { return size_; }
  bool shared() const { return mapped_; }

 private:
  ListImage(const char* data, size_t size, bool mapped, std::string own);
  bool mayHold(int side, int length, uint32_t addr) const;
  const long long* findSender(const ListImageTable& table, const char* key, size_t len,
                              uint64_t hash) const;

  const char* data_;
  size_t size_;
  bool mapped_;
  std::string own_;  // the bytes when not mapped
  const ListImageHeader* header_;
  uint64_t ipLengths_[2];  // bit n: the side has blocks of prefix length n
};

}  // namespace KELP

#endif
