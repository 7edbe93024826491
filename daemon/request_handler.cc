#include "daemon/request_handler.h"

#include "daemon/globals.h"
#include "daemon/policy_request.h"
#include "daemon/throttling_decision.h"
#include "daemon/tls_decision.h"
#include "host/log/log.h"

const char kAttributeErrorAnswer[] = "action=451 4.5.0 Local Process Attributes Error\n\n";

namespace {

std::string decide(const std::string& text, WorkerState& state) {
  if (text.find("request=") == std::string::npos) {
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "invalid format of data, maybe a test data");
    state.answer = KELP::Answer::kTest;
    return "220 i am ok\n";
  }
  PolicyRequest& r = state.request;
  state.answer = KELP::Answer::kAttributesError;
  if (!parsePolicyRequest(text, r)) return kAttributeErrorAnswer;
  KELP::Log::LogByLevel(KELP::LOG_DEBUG,
                        "after parse sender is [%s], sender_domain is [%s], address is [%s], domain is [%s], "
                        "ccert_subject is [%s], encryption_cipher is [%s], encryption_keysize is [%s]",
                        r.sender.c_str(), r.senderDomain.c_str(), r.clientAddress.c_str(),
                        r.reverseClientName.c_str(), r.ccertSubject.c_str(), r.encryptionCipher.c_str(),
                        r.encryptionKeysize.c_str());
  if (r.clientAddress == "127.0.0.1") {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "Localhost connect, no verification, response action is OK");
    state.answer = KELP::Answer::kLocalhost;
    return "action=DUNNO Localhost Permitted\n\n";
  }
  switch (handleSmtpConn(*state.agent, r.protocolState, r.clientAddress, r.sender)) {
    case THROTTLING_IP_BLOCKED:
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "current connection IP[%s] is blocked by SMTP Traffic Throttling function",
                            r.clientAddress.c_str());
      state.answer = KELP::Answer::kIpBlocked;
      return smtpConnConfig.ipBlockedAction + "\n\n";
    case THROTTLING_SENDER_BLOCKED:
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "current sender[%s] is blocked by SMTP Traffic Throttling function",
                            r.sender.c_str());
      state.answer = KELP::Answer::kSenderBlocked;
      return smtpConnConfig.senderBlockedAction + "\n\n";
    default:
      return decideTLS(r, *state.tlsConfig, state.policy, &state.answer);
  }
}

}  // namespace

std::string answerPolicyRequest(const std::string& text, WorkerState& state) {
  std::string answer = decide(text, state);
  if (state.counters != nullptr) state.counters->count(state.worker, state.answer);
  return answer;
}
