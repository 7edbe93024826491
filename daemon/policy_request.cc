#include "daemon/policy_request.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/log/log.h"

namespace {

// The two "not found" notes go to standard output, but only when it is a
// terminal or a pipe: in the daemon descriptor 1 may be a socket by then,
// and a stray note must never reach a client.
bool stdoutIsConsole() {
  struct stat st;
  return fstat(STDOUT_FILENO, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode));
}

}  // namespace

size_t getValueBykey(const std::string& request, const std::string& key, std::string& value) {
  // The first "key=" anywhere in the text; memmem rather than
  // std::string::find, which restarts a compare at every byte that matches
  // the key's first letter.
  std::string needle = key + "=";
  const void* hit = memmem(request.data(), request.size(), needle.data(), needle.size());
  size_t p = hit == nullptr ? std::string::npos : static_cast<size_t>(static_cast<const char*>(hit) - request.data());
  if (p == std::string::npos) {
    if (stdoutIsConsole()) printf("not find key [%s] in string [%s]\n", key.c_str(), value.c_str());
    return std::string::npos;
  }
  size_t end = request.find('\n', p);
  if (end == std::string::npos) {
    if (stdoutIsConsole()) printf("format of string [%s] is error, not find seperator \n", key.c_str());
    return std::string::npos;
  }
  size_t start = p + key.size() + 1;
  value = request.substr(start, end - start);
  return end;
}

std::string senderDomainOf(const std::string& sender) {
  size_t at = sender.find('@');
  return at == std::string::npos ? sender : sender.substr(at + 1);
}

bool parsePolicyRequest(const std::string& text, PolicyRequest& request) {
  struct Attribute {
    const char* name;
    std::string PolicyRequest::*field;
    bool required;
  };
  static const Attribute attributes[] = {
      {"protocol_state", &PolicyRequest::protocolState, false},
      {"client_address", &PolicyRequest::clientAddress, true},
      {"reverse_client_name", &PolicyRequest::reverseClientName, true},
      {"sender", &PolicyRequest::sender, true},
      {"ccert_subject", &PolicyRequest::ccertSubject, true},
      {"encryption_cipher", &PolicyRequest::encryptionCipher, true},
      {"encryption_keysize", &PolicyRequest::encryptionKeysize, true},
  };
  for (const Attribute& a : attributes) {
    if (getValueBykey(text, a.name, request.*a.field) == std::string::npos) {
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to find key [%s]", a.name);
      if (a.required) return false;
    }
    if (a.field == &PolicyRequest::sender) request.senderDomain = senderDomainOf(request.sender);
  }
  return true;
}
