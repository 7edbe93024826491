#include "host/base/sender_address.h"

namespace KELP {

std::string_view senderDomain(std::string_view sender, bool* hasAt) {
  size_t at = sender.rfind('@');
  if (hasAt != nullptr) *hasAt = at != std::string_view::npos;
  std::string_view domain = at == std::string_view::npos ? sender : sender.substr(at + 1);
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  return domain;
}

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace KELP
