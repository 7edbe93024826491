// Non-cryptographic 64-bit hashing of bytes: the checksum and source digest
// of the list image, and the hash of its sender keys. Fast (eight bytes per
// step) and stable across runs of the same build; it guards against torn or
// damaged files, not against someone who forges them. Pure functions.
#ifndef KEELGATE_HOST_LISTS_BYTE_HASH_H
#define KEELGATE_HOST_LISTS_BYTE_HASH_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace KELP {

inline uint64_t mix64(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

inline uint64_t hashWord(uint64_t h, uint64_t w) {
  h ^= w * 0x87c37b91114253d5ULL;
  return ((h << 31) | (h >> 33)) * 0x4cf5ad432745937fULL;
}

// Hash of `len` bytes at `data`, continuing from `seed`. Four independent
// lanes over 32-byte blocks, so long inputs (image checksums) go at memory
// speed rather than at the latency of one multiply chain.
inline uint64_t hashBytes(const void* data, size_t len, uint64_t seed = 0) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t h = seed ^ (len * 0x9e3779b97f4a7c15ULL);
  if (len >= 32) {
    uint64_t lane[4] = {h, h + 1, h + 2, h + 3};
    while (len >= 32) {
      for (int i = 0; i < 4; ++i) {
        uint64_t w;
        memcpy(&w, p + 8 * i, 8);
        lane[i] = hashWord(lane[i], w);
      }
      p += 32;
      len -= 32;
    }
    h = mix64(lane[0]) ^ mix64(lane[1] + 1) ^ mix64(lane[2] + 2) ^ mix64(lane[3] + 3);
  }
  while (len >= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    h = hashWord(h, w);
    p += 8;
    len -= 8;
  }
  uint64_t tail = 0;
  for (size_t i = 0; i < len; ++i) tail |= uint64_t{p[i]} << (8 * i);
  h ^= tail * 0x87c37b91114253d5ULL;
  return mix64(h);
}

// Folds one number into a running hash.
inline uint64_t hashNumber(uint64_t h, uint64_t value) { return mix64(h ^ mix64(value + 0x632be59bd9b4e019ULL)); }

}  // namespace KELP

#endif
