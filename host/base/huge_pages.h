// Asks the kernel to back a large buffer with transparent huge pages, so
// filling it takes one page fault per 2 MB instead of one per 4 kB. Used for
// the buffers of a list image build, where faults on fresh memory were the
// largest single cost. Harmless where huge pages are off or unavailable.
#ifndef KEELGATE_HOST_BASE_HUGE_PAGES_H
#define KEELGATE_HOST_BASE_HUGE_PAGES_H

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

namespace KELP {

// Only the 2 MB-aligned interior of [data, data + size) can be advised.
inline void adviseHugePages(const void* data, size_t size) {
  const uintptr_t kHuge = uintptr_t{2} << 20;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace KELP

#endif
