#include "agent/line_assembler.h"

namespace agent {

void LineAssembler::feed(std::string_view data, Sink& sink) {
  while (!data.empty()) {
    size_t lf = data.find('\n');
    std::string_view piece = data.substr(0, lf);
    data.remove_prefix(lf == std::string_view::npos ? data.size() : lf + 1);
    const bool whole = lf != std::string_view::npos;

    if (!dropping_ && partial_.size() + piece.size() > kMaxLineBytes) {
      dropping_ = true;
      partial_.clear();
      partial_.shrink_to_fit();
      sink.tooLong();
    }
    if (dropping_) {
      if (whole) dropping_ = false;
      continue;
    }
    if (!whole) {
      partial_.append(piece);
    } else if (partial_.empty()) {
      sink.line(piece);  // the common case: no copy
    } else {
      partial_.append(piece);
      sink.line(partial_);
      partial_.clear();
    }
  }
}

}  // namespace agent
