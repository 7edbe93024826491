#include "host/lists/list_image.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/base/sender_address.h"
#include "host/lists/byte_hash.h"
#include "host/config/config_file_on_disk.h"

namespace KELP {

const char kListImageMagic[8] = {'K', 'G', 'L', 'I', 'S', 'T', 'S', '\n'};

namespace {

static_assert(sizeof(long long) == 8, "expirations are stored as 8 bytes");
static_assert(sizeof(ListImageIpSlot) == 16, "slot layout");
static_assert(sizeof(ListImageSenderSlot) == 24, "slot layout");
static_assert(sizeof(ListImageHeader) % 8 == 0, "tables after the header stay aligned");

char lowerByte(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

uint32_t maskOf(int prefix) { return prefix == 0 ? 0u : ~0u << (32 - prefix); }

// Maps `size` bytes of `fd` read-only and shared at a 2 MB boundary, so the
// kernel can map the page cache's large folios whole: a lookup in a large
// image then takes fewer TLB misses. Populated at once: the check reads
// every page anyway, and one call costs far less than a fault per page.
void* mapImage(int fd, size_t size) {
  const size_t kHuge = size_t{2} << 20;
  if (size < kHuge) return mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  char* area = static_cast<char*>(
      mmap(nullptr, size + kHuge, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  if (area == MAP_FAILED) return MAP_FAILED;
  char* start = area + ((kHuge - reinterpret_cast<uintptr_t>(area) % kHuge) % kHuge);
  void* map = mmap(start, size, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0);
  if (map == MAP_FAILED) {
    munmap(area, size + kHuge);
    return MAP_FAILED;
  }
  // The reservation around the mapping goes back.
  char* end = start + ((size + 4095) & ~size_t{4095});
  if (start > area) munmap(area, static_cast<size_t>(start - area));
  if (area + size + kHuge > end) munmap(end, static_cast<size_t>(area + size + kHuge - end));
  madvise(map, size, MADV_HUGEPAGE);
  madvise(map, size, MADV_POPULATE_READ);
  return map;
}

bool tableFits(const ListImageTable& t, size_t slotSize, size_t headerSize, size_t size) {
  if (t.capacity == 0) return t.count == 0;
  if (t.count > t.capacity || t.offset % 8 != 0) return false;
  if (t.offset < headerSize || t.offset > size) return false;
  return t.capacity <= (size - t.offset) / slotSize;
}

bool headerProblem(const ListImageHeader& h, size_t size, uint64_t digest, std::string& problem) {
  ListImageHeader copy = h;
  copy.headerChecksum = 0;
  if (hashBytes(&copy, sizeof copy) != h.headerChecksum) return (problem = "header checksum mismatch"), true;
  if (h.fileSize != size) return (problem = "size differs from its header (truncated?)"), true;
  if (h.digest != digest) return (problem = "built from other list files"), true;
  for (int side = 0; side < 2; ++side) {
    for (const ListImageTable& t : h.ip[side])
      if (!tableFits(t, sizeof(ListImageIpSlot), h.headerSize, size)) return (problem = "bad table"), true;
    for (uint64_t filter : h.ipFilter[side])
      if (filter != 0 && (filter < h.headerSize || filter > size || kFilterBytes > size - filter))
        return (problem = "bad table"), true;
    for (const ListImageTable& t : h.sender[side])
      if (!tableFits(t, sizeof(ListImageSenderSlot), h.headerSize, size)) return (problem = "bad table"), true;
  }
  if (h.blobOffset < h.headerSize || h.blobOffset > size || h.blobSize > size - h.blobOffset)
    return (problem = "bad string blob"), true;
  return false;
}

}  // namespace

uint64_t ipSlotHash(uint32_t key) {
  uint64_t h = (uint64_t{key} + 1) * 0x9e3779b97f4a7c15ULL;
  return h ^ (h >> 29);
}

uint64_t senderKeyHash(const char* text, size_t len) {
  uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a over the lower case
  for (size_t i = 0; i < len; ++i) {
    h ^= static_cast<unsigned char>(lowerByte(text[i]));
    h *= 0x100000001b3ULL;
  }
  return mix64(h);
}

bool checkListImage(const char* data, size_t size, uint64_t digest, std::string& problem) {
  if (size < sizeof(ListImageHeader)) return (problem = "shorter than its header"), false;
  ListImageHeader h;
  memcpy(&h, data, sizeof h);
  if (memcmp(h.magic, kListImageMagic, sizeof h.magic) != 0) return (problem = "not a list image"), false;
  if (h.version != kListImageVersion || h.headerSize != sizeof h)
    return (problem = "image of another version"), false;
  if (headerProblem(h, size, digest, problem)) return false;
  if (hashBytes(data + h.headerSize, size - h.headerSize) != h.bodyChecksum)
    return (problem = "body checksum mismatch"), false;
  return true;
}

ListImage::ListImage(const char* data, size_t size, bool mapped, std::string own)
    : data_(data), size_(size), mapped_(mapped), own_(std::move(own)) {
  if (!mapped_) data_ = own_.data();
  header_ = reinterpret_cast<const ListImageHeader*>(data_);
  for (int side = 0; side < 2; ++side) {
    ipLengths_[side] = 0;
    for (int len = 0; len <= 32; ++len)
      if (header_->ip[side][len].count != 0) ipLengths_[side] |= uint64_t{1} << len;
  }
}

ListImage::~ListImage() {
  if (mapped_) munmap(const_cast<char*>(data_), size_);
}

std::shared_ptr<const ListImage> ListImage::openFile(const std::string& path, uint64_t digest,
                                                     std::string& problem) {
  problem.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) problem = std::string("cannot open it (") + strerror(errno) + ")";
    return nullptr;
  }
  struct stat st;
  void* map = MAP_FAILED;
  if (fstat(fd, &st) != 0) {
    problem = std::string("cannot stat it (") + strerror(errno) + ")";
  } else if (st.st_size < static_cast<off_t>(sizeof(ListImageHeader))) {
    problem = "shorter than its header";
  } else {
    map = mapImage(fd, static_cast<size_t>(st.st_size));
    if (map == MAP_FAILED) problem = std::string("cannot map it (") + strerror(errno) + ")";
  }
  close(fd);
  if (map == MAP_FAILED) return nullptr;
  size_t size = static_cast<size_t>(st.st_size);
  if (!checkListImage(static_cast<const char*>(map), size, digest, problem)) {
    munmap(map, size);
    return nullptr;
  }
  return std::shared_ptr<const ListImage>(new ListImage(static_cast<const char*>(map), size, true, ""));
}

std::shared_ptr<const ListImage> ListImage::fromBytes(std::string bytes, std::string& problem) {
  if (bytes.size() < sizeof(ListImageHeader)) return (problem = "shorter than its header"), nullptr;
  uint64_t digest;
  memcpy(&digest, bytes.data() + offsetof(ListImageHeader, digest), sizeof digest);
  if (!checkListImage(bytes.data(), bytes.size(), digest, problem)) return nullptr;
  size_t size = bytes.size();
  return std::shared_ptr<const ListImage>(new ListImage(nullptr, size, false, std::move(bytes)));
}

bool ListImage::writeSettledCopy(int fd) const {
  char head[sizeof(ListImageHeader)];
  memcpy(head, header_, sizeof head);
  uint32_t racy = 0;
  uint64_t checksum = 0;
  memcpy(head + offsetof(ListImageHeader, racy), &racy, sizeof racy);
  memcpy(head + offsetof(ListImageHeader, headerChecksum), &checksum, sizeof checksum);
  checksum = hashBytes(head, sizeof head);
  memcpy(head + offsetof(ListImageHeader, headerChecksum), &checksum, sizeof checksum);
  return writeAll(fd, head, sizeof head) && writeAll(fd, data_ + sizeof head, size_ - sizeof head);
}

bool ListImage::mayHold(int side, int length, uint32_t addr) const {
  uint64_t filter = header_->ipFilter[side][length];
  if (filter == 0) return true;
  uint32_t net = addr >> 16;
  return (static_cast<unsigned char>(data_[filter + net / 8]) >> (net % 8) & 1) != 0;
}

const long long* ListImage::ipMatch(ListSide side, uint32_t addr) const {
  int s = static_cast<int>(side);
  uint64_t lengths = ipLengths_[s];
  while (lengths != 0) {
    int len = 63 - __builtin_clzll(lengths);  // longest first
    lengths &= ~(uint64_t{1} << len);
    if (!mayHold(s, len, addr)) continue;
    const ListImageTable& t = header_->ip[s][len];
    const ListImageIpSlot* slots = reinterpret_cast<const ListImageIpSlot*>(data_ + t.offset);
    uint32_t key = addr & maskOf(len);
    uint64_t i = firstSlot(ipSlotHash(key), t.capacity);
    for (uint64_t probes = 0; probes < t.capacity && slots[i].used != 0; ++probes) {
      if (slots[i].key == key) return &slots[i].value;
      if (++i == t.capacity) i = 0;
    }
  }
  return nullptr;
}

void ListImage::prefetchIp(uint32_t addr) const {
  for (int s = 0; s < 2; ++s) {
    for (uint64_t lengths = ipLengths_[s]; lengths != 0;) {
      int len = 63 - __builtin_clzll(lengths);  // the longest, which ipMatch probes first
      lengths &= ~(uint64_t{1} << len);
      if (!mayHold(s, len, addr)) continue;
      const ListImageTable& t = header_->ip[s][len];
      uint32_t key = addr & maskOf(len);
      __builtin_prefetch(data_ + t.offset + firstSlot(ipSlotHash(key), t.capacity) * sizeof(ListImageIpSlot));
      break;
    }
  }
}

ListImage::SenderKey ListImage::prepareSender(const std::string& sender) const {
  SenderKey key{&sender, sender.empty() || sender == "<>", false, nullptr, 0, 0, 0, 0};
  if (key.null) return key;
  std::string_view domain = senderDomain(sender, &key.hasAt);
  key.domain = domain.data();
  key.domainLength = domain.size();
  // The address without the trailing dot of its domain, as the lists hold it.
  key.addressLength = key.hasAt ? static_cast<size_t>(key.domain + key.domainLength - sender.data()) : sender.size();
  key.addressHash = senderKeyHash(sender.data(), key.addressLength);
  if (key.hasAt) key.domainHash = senderKeyHash(key.domain, key.domainLength);
  for (int s = 0; s < 2; ++s) {
    for (int kind = 0; kind < (key.hasAt ? 2 : 1); ++kind) {
      const ListImageTable& t = header_->sender[s][kind];
      uint64_t hash = kind == 0 ? key.addressHash : key.domainHash;
      if (t.capacity != 0)
        __builtin_prefetch(data_ + t.offset + firstSlot(hash, t.capacity) * sizeof(ListImageSenderSlot));
    }
  }
  return key;
}

const long long* ListImage::findSender(const ListImageTable& t, const char* key, size_t len,
                                       uint64_t hash) const {
  if (t.capacity == 0) return nullptr;
  const ListImageSenderSlot* slots = reinterpret_cast<const ListImageSenderSlot*>(data_ + t.offset);
  const char* blob = data_ + header_->blobOffset;
  uint64_t i = firstSlot(hash, t.capacity);
  for (uint64_t probes = 0; probes < t.capacity && slots[i].length != 0; ++probes) {
    const ListImageSenderSlot& slot = slots[i];
    if (++i == t.capacity) i = 0;
    if (slot.hash != static_cast<uint32_t>(hash) || slot.length != len) continue;
    if (slot.offset > header_->blobSize || len > header_->blobSize - slot.offset) continue;
    size_t k = 0;
    while (k < len && lowerByte(key[k]) == blob[slot.offset + k]) ++k;
    if (k == len) return &slot.value;
  }
  return nullptr;
}

const long long* ListImage::senderMatch(ListSide side, const SenderKey& key) const {
  int s = static_cast<int>(side);
  if (key.null) return header_->hasNull[s] ? &header_->nullValue[s] : nullptr;
  const std::string& sender = *key.sender;
  const long long* found = findSender(header_->sender[s][0], sender.data(), key.addressLength, key.addressHash);
  if (found != nullptr || !key.hasAt) return found;
  return findSender(header_->sender[s][1], key.domain, key.domainLength, key.domainHash);
}

}  // namespace KELP
