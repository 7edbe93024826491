// Whether a request's SMTP session meets the TLS policy of its client or
// sender domain, and the answer that says so. Plain values in, answer out:
// no sockets, so every row of the decision is tested directly.
#ifndef KEELGATE_DAEMON_TLS_DECISION_H
#define KEELGATE_DAEMON_TLS_DECISION_H

#include <string>

#include "daemon/policy_request.h"
#include "host/base/answer_counters.h"
#include "host/tls/tls_policy_config.h"

// Outside the MAIL stage: "action=DUNNO Non-need check\n\n". In it: folds the
// request's case, looks the policy up (client address, then sender domain)
// into `policy`, and returns a rejection or the X-KELP-TLS-USAGE prepend.
// Logs the verdict at the "normal" level; sets *kind, when given, to the
// answer's kind.
std::string decideTLS(PolicyRequest& request, TLSPolicyConfig& config, TLSPolicy& policy,
                      KELP::Answer* kind = nullptr);

#endif
