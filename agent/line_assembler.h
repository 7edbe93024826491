// Cuts a stream of bytes from one peer into lines, with a bound: a line of
// more than kMaxLineBytes (its line feed not counted) is dropped up to its
// line feed, so one peer can never make the agent hold more than that for
// it. Bytes after the last line feed wait for the next read. One per
// connection; event loop thread only.
#ifndef KEELGATE_AGENT_LINE_ASSEMBLER_H
#define KEELGATE_AGENT_LINE_ASSEMBLER_H

#include <stddef.h>

#include <string>
#include <string_view>

namespace agent {

constexpr size_t kMaxLineBytes = 4096;

class LineAssembler {
 public:
  class Sink {
   public:
    virtual ~Sink() {}
    // A whole line, without its line feed; the view lives for the call.
    virtual void line(std::string_view text) = 0;
    // A line passed kMaxLineBytes: called once, when it does; the rest of
    // it up to its line feed is dropped.
    virtual void tooLong() = 0;
  };

  void feed(std::string_view data, Sink& sink);
  // Bytes held of an unfinished line.
  size_t held() const { return partial_.size(); }

 private:
  std::string partial_;
  bool dropping_ = false;
};

}  // namespace agent

#endif
