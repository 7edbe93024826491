// Per-answer counters of the daemon's workers, kept where the SMTP agent can
// read them without asking the workers: a small file, bin/keelgate.counters,
// mapped shared. The main process creates it before forking (the workers
// inherit the mapping); each worker adds to its own cache-line-aligned slot
// with relaxed atomic increments, so counting costs the request path one
// uncontended add and no system call. Readers sum the slots; a counter starts
// again from 0 when the daemon starts.
#ifndef KEELGATE_HOST_BASE_ANSWER_COUNTERS_H
#define KEELGATE_HOST_BASE_ANSWER_COUNTERS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace KELP {

// The answers a worker gives, as the metrics name them.
enum class Answer {
  kDunno,            // outside the MAIL stage: "action=DUNNO Non-need check"
  kLocalhost,        // "action=DUNNO Localhost Permitted"
  kIpBlocked,        // the configured IP block answer
  kSenderBlocked,    // the configured sender block answer
  kTlsUsed,          // "action=PREPEND X-KELP-TLS-USAGE: Used"
  kTlsUnused,        // "action=PREPEND X-KELP-TLS-USAGE: Unused"
  kTlsRejected,      // a TLS policy rejection (421 or 530)
  kAttributesError,  // the 451 answer of a malformed request
  kTest,             // "220 i am ok": a text that is no request
  kCount
};

// "dunno", "localhost", "ip_blocked", ... as in the metrics.
const char* answerLabel(Answer answer);

constexpr int kCounterWorkers = 20;

class AnswerCounters {
 public:
  AnswerCounters() = default;
  ~AnswerCounters();
  AnswerCounters(const AnswerCounters&) = delete;
  AnswerCounters& operator=(const AnswerCounters&) = delete;

  // The daemon: creates (or empties) the file at `path`, mode 0640, and maps
  // it for writing. False, with `problem`, when it cannot.
  bool create(const std::string& path, std::string& problem);
  // A reader: maps an existing file read-only. False when it is missing, is
  // not such a file or cannot be mapped.
  bool open(const std::string& path, std::string& problem);
  bool mapped() const { return slots_ != nullptr; }

  // Worker `worker` (0..19) gave `answer`; nothing when not mapped.
  void count(int worker, Answer answer);
  // The count of one worker's answers.
  uint64_t value(int worker, Answer answer) const;

 private:
  struct Slot;
  void unmap();

  Slot* slots_ = nullptr;
  size_t size_ = 0;
};

}  // namespace KELP

#endif
