#include "host/lists/list_image_builder.h"

#include <stddef.h>
#include <string.h>

#include <thread>

#include "host/lists/byte_hash.h"
#include "host/base/huge_pages.h"

namespace KELP {

namespace {

uint32_t maskOf(int prefix) { return prefix == 0 ? 0u : ~0u << (32 - prefix); }

// Slots for `entries`: at most 75 % full.
uint64_t capacityFor(uint64_t entries) { return entries == 0 ? 0 : entries + entries / 3 + 1; }

// The slot of the entry kPrefetch ahead is fetched while one is inserted.
const size_t kPrefetch = 16;

uint64_t align8(uint64_t n) { return (n + 7) & ~uint64_t{7}; }

void keepLarger(long long& stored, long long value) {
  if (stored < value) stored = value;
}

}  // namespace

void ListImageBuilder::reserveIps(ListSide side, size_t ips) {
  std::vector<IpEntry>& v = ips_[static_cast<int>(side)];
  v.reserve(v.size() + ips);
  adviseHugePages(v.data(), v.capacity() * sizeof(IpEntry));
}

void ListImageBuilder::reserveSenders(ListSide side, size_t senders, size_t senderBytes) {
  std::vector<SenderEntry>& v = senders_[static_cast<int>(side)];
  v.reserve(v.size() + senders);
  adviseHugePages(v.data(), v.capacity() * sizeof(SenderEntry));
  blob_.reserve(blob_.size() + senderBytes);
  adviseHugePages(blob_.data(), blob_.capacity());
}

void ListImageBuilder::addIp(ListSide side, uint32_t addr, int prefix, long long value) {
  if (prefix < 0 || prefix > 32) return;
  ips_[static_cast<int>(side)].push_back({addr & maskOf(prefix), prefix, value});
}

bool ListImageBuilder::addSender(ListSide side, const std::string& entry, long long value) {
  int s = static_cast<int>(side);
  if (entry == "<>") {
    if (!hasNull_[s] || nullValue_[s] < value) nullValue_[s] = value;
    hasNull_[s] = true;
    return true;
  }
  if (entry.find_first_of(" \t\r\n") != std::string::npos) return false;
  size_t at = entry.rfind('@');
  if (at == std::string::npos || at + 1 == entry.size() || entry.find('@') != at) return false;
  // Kept as lookups see senders: a domain without its '@', and neither with
  // the trailing dot of a fully qualified domain.
  size_t start = at == 0 ? 1 : 0;
  size_t end = entry.back() == '.' ? entry.size() - 1 : entry.size();
  if (end <= at + 1) return false;
  if (blob_.size() + entry.size() > UINT32_MAX) return false;  // offsets are 32-bit
  SenderEntry e{static_cast<uint32_t>(blob_.size()), static_cast<uint32_t>(end - start),
                senderKeyHash(entry.data() + start, end - start), value, at == 0 ? 1 : 0};
  size_t from = blob_.size();
  blob_.append(entry, start, end - start);
  for (size_t i = from; i < blob_.size(); ++i)
    if (blob_[i] >= 'A' && blob_[i] <= 'Z') blob_[i] = static_cast<char>(blob_[i] - 'A' + 'a');
  senders_[s].push_back(e);
  return true;
}

ListImageHeader ListImageBuilder::layout() const {
  ListImageHeader h;
  memset(&h, 0, sizeof h);
  memcpy(h.magic, kListImageMagic, sizeof h.magic);
  h.version = kListImageVersion;
  h.headerSize = sizeof h;

  // Layout: capacities from the entry counts (duplicates included, so the
  // load stays under 75 %), tables one after another, then the blob.
  uint64_t offset = sizeof h;
  for (int s = 0; s < 2; ++s) {
    uint64_t perLength[33] = {};
    for (const IpEntry& e : ips_[s]) ++perLength[e.prefix];
    for (int len = 0; len <= 32; ++len) {
      h.ip[s][len] = {offset, capacityFor(perLength[len]), 0};
      offset += h.ip[s][len].capacity * sizeof(ListImageIpSlot);
    }
    uint64_t perKind[2] = {};
    for (const SenderEntry& e : senders_[s]) ++perKind[e.kind];
    for (int kind = 0; kind < 2; ++kind) {
      h.sender[s][kind] = {offset, capacityFor(perKind[kind]), 0};
      offset += h.sender[s][kind].capacity * sizeof(ListImageSenderSlot);
    }
  }
  for (int s = 0; s < 2; ++s)
    for (int len = kFilterMinLength; len <= 32; ++len)
      if (h.ip[s][len].capacity != 0) {
        h.ipFilter[s][len] = offset;
        offset += kFilterBytes;
      }
  h.blobOffset = offset;
  h.blobSize = blob_.size();
  h.fileSize = align8(offset + blob_.size());
  return h;
}

std::string ListImageBuilder::build(uint64_t digest, uint64_t sourceHash, bool racy) const {
  std::string out(imageSize(), '\0');
  writeTo(&out[0], digest, sourceHash, racy);
  return out;
}

void ListImageBuilder::writeTo(char* base, uint64_t digest, uint64_t sourceHash, bool racy) const {
  ListImageHeader h = layout();
  h.digest = digest;
  h.sourceHash = sourceHash;
  h.racy = racy ? 1 : 0;
  // Each half is a random write per entry into tables far larger than the
  // caches: for a large image the sender half runs beside the IP half.
  const size_t kParallelEntries = 100000;
  size_t entries = ips_[0].size() + ips_[1].size() + senders_[0].size() + senders_[1].size();
  std::thread senders;
  if (entries >= kParallelEntries) senders = std::thread([&] { writeSenders(h, base); });
  writeIps(h, base);
  if (senders.joinable())
    senders.join();
  else
    writeSenders(h, base);
  for (int s = 0; s < 2; ++s) {
    h.hasNull[s] = hasNull_[s] ? 1 : 0;
    h.nullValue[s] = nullValue_[s];
    for (const ListImageTable& t : h.ip[s]) h.entries[s] += t.count;
    h.entries[2 + s] = h.sender[s][0].count + h.sender[s][1].count + h.hasNull[s];
  }
  h.bodyChecksum = hashBytes(base + sizeof h, h.fileSize - sizeof h);
  // The header checksum is taken over the header as written, its own field
  // still zero, and stored into place: computed on the local copy and then
  // copied, GCC 12's SLP vectoriser at -O2 dropped the stored field.
  h.headerChecksum = 0;
  memcpy(base, &h, sizeof h);
  uint64_t headerChecksum = hashBytes(base, sizeof h);
  memcpy(base + offsetof(ListImageHeader, headerChecksum), &headerChecksum, sizeof headerChecksum);
}

void ListImageBuilder::writeIps(ListImageHeader& h, char* base) const {
  for (int s = 0; s < 2; ++s) {
    const std::vector<IpEntry>& ips = ips_[s];
    for (size_t n = 0; n < ips.size(); ++n) {
      if (n + kPrefetch < ips.size()) {
        const IpEntry& ahead = ips[n + kPrefetch];
        const ListImageTable& t = h.ip[s][ahead.prefix];
        __builtin_prefetch(base + t.offset + firstSlot(ipSlotHash(ahead.key), t.capacity) * sizeof(ListImageIpSlot), 1);
      }
      const IpEntry& e = ips[n];
      if (h.ipFilter[s][e.prefix] != 0) {
        uint32_t net = e.key >> 16;
        base[h.ipFilter[s][e.prefix] + net / 8] |= static_cast<char>(1 << (net % 8));
      }
      ListImageTable& t = h.ip[s][e.prefix];
      ListImageIpSlot* slots = reinterpret_cast<ListImageIpSlot*>(base + t.offset);
      uint64_t i = firstSlot(ipSlotHash(e.key), t.capacity);
      while (slots[i].used != 0 && slots[i].key != e.key)
        if (++i == t.capacity) i = 0;
      if (slots[i].used == 0) {
        slots[i] = {e.key, 1, e.value};
        ++t.count;
      } else {
        keepLarger(slots[i].value, e.value);
      }
    }
  }
}

void ListImageBuilder::writeSenders(ListImageHeader& h, char* base) const {
  for (int s = 0; s < 2; ++s) {
    const std::vector<SenderEntry>& senders = senders_[s];
    for (size_t n = 0; n < senders.size(); ++n) {
      if (n + kPrefetch < senders.size()) {
        const SenderEntry& ahead = senders[n + kPrefetch];
        const ListImageTable& t = h.sender[s][ahead.kind];
        __builtin_prefetch(base + t.offset + firstSlot(ahead.hash, t.capacity) * sizeof(ListImageSenderSlot), 1);
      }
      const SenderEntry& e = senders[n];
      ListImageTable& t = h.sender[s][e.kind];
      ListImageSenderSlot* slots = reinterpret_cast<ListImageSenderSlot*>(base + t.offset);
      const char* key = blob_.data() + e.offset;
      uint64_t hash = e.hash;
      uint32_t tag = static_cast<uint32_t>(hash);
      uint64_t i = firstSlot(hash, t.capacity);
      while (slots[i].length != 0 &&
             !(slots[i].hash == tag && slots[i].length == e.length &&
               memcmp(blob_.data() + slots[i].offset, key, e.length) == 0))
        if (++i == t.capacity) i = 0;
      if (slots[i].length == 0) {
        slots[i] = {e.offset, e.length, tag, 0, e.value};
        ++t.count;
      } else {
        keepLarger(slots[i].value, e.value);
      }
    }
  }
  memcpy(base + h.blobOffset, blob_.data(), blob_.size());
}

}  // namespace KELP
