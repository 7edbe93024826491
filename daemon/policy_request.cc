#include "daemon/policy_request.h"

#include <string.h>

#include <string_view>

#include "host/base/sender_address.h"
#include "host/log/log.h"

namespace {

struct Attribute {
  std::string_view name;
  std::string PolicyRequest::*field;  // null: only checked for repeats
  bool required;
};

// In the order their absence is reported.
const Attribute kAttributes[] = {
    {"protocol_state", &PolicyRequest::protocolState, false},
    {"client_address", &PolicyRequest::clientAddress, true},
    {"reverse_client_name", &PolicyRequest::reverseClientName, true},
    {"sender", &PolicyRequest::sender, true},
    {"ccert_subject", &PolicyRequest::ccertSubject, true},
    {"encryption_cipher", &PolicyRequest::encryptionCipher, true},
    {"encryption_keysize", &PolicyRequest::encryptionKeysize, true},
    {"request", nullptr, false},
};
const int kAttributeCount = sizeof kAttributes / sizeof kAttributes[0];

int attributeIndex(std::string_view name) {
  for (int i = 0; i < kAttributeCount; ++i)
    if (kAttributes[i].name == name) return i;
  return -1;
}

}  // namespace

bool parsePolicyRequest(const std::string& text, PolicyRequest& request) {
  unsigned seen = 0;  // bit i: kAttributes[i] was read
  const char* pos = text.data();
  const char* const end = pos + text.size();
  while (pos < end) {
    const char* nl = static_cast<const char*>(memchr(pos, '\n', static_cast<size_t>(end - pos)));
    if (nl == nullptr || nl == pos) break;  // a cut last line, or the empty line that ends the request
    const char* eq = static_cast<const char*>(memchr(pos, '=', static_cast<size_t>(nl - pos)));
    const char* line = pos;
    pos = nl + 1;
    if (eq == nullptr) continue;
    int i = attributeIndex(std::string_view(line, static_cast<size_t>(eq - line)));
    if (i < 0) continue;
    if (seen & (1u << i)) {
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "repeated attribute [%s] in request, answered as malformed",
                            kAttributes[i].name.data());
      return false;
    }
    seen |= 1u << i;
    if (kAttributes[i].field != nullptr) (request.*kAttributes[i].field).assign(eq + 1, nl);
  }
  for (int i = 0; i < kAttributeCount; ++i) {
    if ((seen & (1u << i)) || kAttributes[i].field == nullptr) continue;
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to find key [%s]", kAttributes[i].name.data());
    if (kAttributes[i].required) return false;
  }
  request.senderDomain = std::string(KELP::senderDomain(request.sender));
  return true;
}
