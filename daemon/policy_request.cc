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

enum AttributeId {
  kProtocolState,
  kClientAddress,
  kReverseClientName,
  kSender,
  kCcertSubject,
  kEncryptionCipher,
  kEncryptionKeysize,
  kRequest,
  kAttributeCount
};

// By AttributeId, in the order their absence is reported.
constexpr Attribute kAttributes[kAttributeCount] = {
    {"protocol_state", &PolicyRequest::protocolState, false},
    {"client_address", &PolicyRequest::clientAddress, true},
    {"reverse_client_name", &PolicyRequest::reverseClientName, true},
    {"sender", &PolicyRequest::sender, true},
    {"ccert_subject", &PolicyRequest::ccertSubject, true},
    {"encryption_cipher", &PolicyRequest::encryptionCipher, true},
    {"encryption_keysize", &PolicyRequest::encryptionKeysize, true},
    {"request", nullptr, false},
};

// Whether `line` starts with the attribute's name and its '='. With the
// attribute known at compile time the comparison is a few loads.
inline bool startsWithName(std::string_view line, AttributeId id) {
  std::string_view name = kAttributes[id].name;
  return line.size() > name.size() && line[name.size()] == '=' && memcmp(line.data(), name.data(), name.size()) == 0;
}

// The attribute whose "name=" starts `line`, or kAttributeCount for one
// keelgate does not use (Postfix sends some thirty, most never read here).
AttributeId attributeAt(std::string_view line) {
  switch (line[0]) {
    case 'c':
      if (startsWithName(line, kClientAddress)) return kClientAddress;
      if (startsWithName(line, kCcertSubject)) return kCcertSubject;
      break;
    case 'e':
      if (startsWithName(line, kEncryptionCipher)) return kEncryptionCipher;
      if (startsWithName(line, kEncryptionKeysize)) return kEncryptionKeysize;
      break;
    case 'p':
      if (startsWithName(line, kProtocolState)) return kProtocolState;
      break;
    case 'r':
      if (startsWithName(line, kRequest)) return kRequest;
      if (startsWithName(line, kReverseClientName)) return kReverseClientName;
      break;
    case 's':
      if (startsWithName(line, kSender)) return kSender;
      break;
  }
  return kAttributeCount;
}

}  // namespace

bool parsePolicyRequest(const std::string& text, PolicyRequest& request) {
  for (const Attribute& a : kAttributes)
    if (a.field != nullptr) (request.*a.field).clear();
  request.senderDomain.clear();
  unsigned seen = 0;  // bit i: kAttributes[i] was read
  const char* pos = text.data();
  const char* const end = pos + text.size();
  while (pos < end) {
    const char* nl = static_cast<const char*>(memchr(pos, '\n', static_cast<size_t>(end - pos)));
    if (nl == nullptr || nl == pos) break;  // a cut last line, or the empty line that ends the request
    const std::string_view line(pos, static_cast<size_t>(nl - pos));
    pos = nl + 1;
    const int i = attributeAt(line);
    if (i == kAttributeCount) continue;
    if (seen & (1u << i)) {
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "repeated attribute [%s] in request, answered as malformed",
                            kAttributes[i].name.data());
      return false;
    }
    seen |= 1u << i;
    if (kAttributes[i].field != nullptr)
      (request.*kAttributes[i].field).assign(line.substr(kAttributes[i].name.size() + 1));
  }
  for (int i = 0; i < kAttributeCount; ++i) {
    if ((seen & (1u << i)) || kAttributes[i].field == nullptr) continue;
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to find key [%s]", kAttributes[i].name.data());
    if (kAttributes[i].required) return false;
  }
  request.senderDomain.assign(KELP::senderDomain(request.sender));
  return true;
}
