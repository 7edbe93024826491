#include "host/base/answer_counters.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace KELP {

// One worker's counters, alone on its cache lines so that workers never
// share a line they write.
struct alignas(64) AnswerCounters::Slot {
  std::atomic<uint64_t> counts[static_cast<int>(Answer::kCount)];
};

namespace {

const char* const kLabels[] = {"dunno",      "localhost",   "ip_blocked",       "sender_blocked", "tls_used",
                               "tls_unused", "tls_rejected", "attributes_error", "test"};
static_assert(sizeof kLabels / sizeof kLabels[0] == static_cast<int>(Answer::kCount), "a label per answer");

}  // namespace

const char* answerLabel(Answer answer) { return kLabels[static_cast<int>(answer)]; }

AnswerCounters::~AnswerCounters() { unmap(); }

void AnswerCounters::unmap() {
  if (slots_ != nullptr) munmap(slots_, size_);
  slots_ = nullptr;
}

bool AnswerCounters::create(const std::string& path, std::string& problem) {
  unmap();
  size_ = sizeof(Slot) * kCounterWorkers;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size_)) != 0) {
    problem = path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return problem = path + ": " + strerror(errno), false;
  slots_ = static_cast<Slot*>(p);  // a fresh file reads as zeros
  return true;
}

bool AnswerCounters::open(const std::string& path, std::string& problem) {
  unmap();
  size_ = sizeof(Slot) * kCounterWorkers;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) != size_) {
    problem = path + (fd < 0 ? ": " + std::string(strerror(errno)) : ": not a counters file");
    if (fd >= 0) close(fd);
    return false;
  }
  void* p = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return problem = path + ": " + strerror(errno), false;
  slots_ = static_cast<Slot*>(p);
  return true;
}

void AnswerCounters::count(int worker, Answer answer) {
  if (slots_ == nullptr || worker < 0 || worker >= kCounterWorkers) return;
  slots_[worker].counts[static_cast<int>(answer)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t AnswerCounters::value(int worker, Answer answer) const {
  if (slots_ == nullptr || worker < 0 || worker >= kCounterWorkers) return 0;
  return slots_[worker].counts[static_cast<int>(answer)].load(std::memory_order_relaxed);
}

}  // namespace KELP
