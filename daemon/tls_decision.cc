#include "daemon/tls_decision.h"

#include "daemon/globals.h"

namespace {

// ASCII only, as the C locale the daemon runs in would do, without a call
// per byte.
void toLower(std::string& s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

void toUpper(std::string& s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

void logVerdict(const PolicyRequest& r, const TLSPolicy& p, const char* verdict) {
  KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                        "Connected from [%s], sender is [%s], matched policy name is [%s], %s",
                        r.clientAddress.c_str(), r.sender.c_str(), p.name.c_str(), verdict);
}

struct Rejection {
  const char* answer;
  const char* verdict;
};

// The rejection that applies, or null when the session passes.
const Rejection* checkSession(const PolicyRequest& r, const TLSPolicy& p) {
  static const Rejection tlsDenied = {"action=421 4.7.0 Must not use TLS\n\n", "Rejected:TLS Denied"};
  static const Rejection mustUseTLS = {"action=530 5.7.0 Must use TLS\n\n", "Rejected:Must issue TLS"};
  static const Rejection high = {"action=421 4.7.5 Must use HIGH cipher suites\n\n",
                                 "Rejected:must use correct high ciphers"};
  static const Rejection medium = {"action=421 4.7.5 Must use MEDIUM cipher suites\n\n",
                                   "Rejected:must use correct medium ciphers"};
  static const Rejection unverified = {"action=421 4.7.1 Unverified client certificate\n\n",
                                       "Rejected:must provide trusted certificate"};
  bool tls = !r.encryptionCipher.empty();
  if (p.level == "none") return tls ? &tlsDenied : nullptr;
  if (!tls) return p.level == "may" ? nullptr : &mustUseTLS;
  bool inHigh = g_high_cipher_suites.count(r.encryptionCipher) != 0;
  bool inMedium = g_medium_cipher_suites.count(r.encryptionCipher) != 0;
  if (!inHigh && p.cipher == "high") return &high;
  if (!inHigh && !inMedium && p.cipher != "high") return &medium;
  if (p.level == "verify" && r.ccertSubject.empty()) return &unverified;
  return nullptr;
}

}  // namespace

std::string decideTLS(PolicyRequest& r, TLSPolicyConfig& config, TLSPolicy& policy, KELP::Answer* kind) {
  KELP::Answer ignored;
  if (kind == nullptr) kind = &ignored;
  if (r.protocolState != "MAIL") {
    logVerdict(r, policy, "Passed");
    *kind = KELP::Answer::kDunno;
    return "action=DUNNO Non-need check\n\n";
  }
  toLower(r.sender);
  toLower(r.clientAddress);
  toLower(r.reverseClientName);
  toLower(r.ccertSubject);
  toUpper(r.encryptionCipher);
  if (!config.getTLSPolicy(r.clientAddress, policy, true)) config.getTLSPolicy(r.senderDomain, policy, false);
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "Policy for connection from [%s] is level[%s], cipher[%s]",
                        r.clientAddress.c_str(), policy.level.c_str(), policy.cipher.c_str());
  const Rejection* rejection = checkSession(r, policy);
  if (rejection != nullptr) {
    logVerdict(r, policy, rejection->verdict);
    *kind = KELP::Answer::kTlsRejected;
    return rejection->answer;
  }
  logVerdict(r, policy, "Passed");
  if (r.encryptionCipher.empty()) {
    *kind = KELP::Answer::kTlsUnused;
    return "action=PREPEND X-KELP-TLS-USAGE: Unused\n\n";
  }
  *kind = KELP::Answer::kTlsUsed;
  return "action=PREPEND X-KELP-TLS-USAGE: Used\n\n";
}
