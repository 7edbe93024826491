// The answer to one read's bytes: everything a worker does between the read
// and the write, without sockets. Used by the worker loop, the tests and the
// fuzzers alike.
#ifndef KEELGATE_DAEMON_REQUEST_HANDLER_H
#define KEELGATE_DAEMON_REQUEST_HANDLER_H

#include <string>

#include "daemon/policy_request.h"
#include "host/base/answer_counters.h"
#include "host/tls/tls_policy_config.h"
#include "throttling/smtp_conn_long_tcp_conn_client.h"

// What a worker keeps from one request to the next.
struct WorkerState {
  TLSPolicyConfig* tlsConfig;
  SmtpConnLongTcpConnClient* agent;  // the local SMTP agent
  TLSPolicy policy;                  // the last looked-up policy
  KELP::Answer answer = KELP::Answer::kTest;  // the kind of the last answer
  KELP::AnswerCounters* counters = nullptr;   // where answers are counted, if anywhere
  int worker = 0;                             // this worker's slot there
  PolicyRequest request{};                    // the last request: its strings keep their room
};

extern const char kAttributeErrorAnswer[];

// Answers the request text (the bytes read, up to the first NUL) and counts
// the answer in state.counters.
std::string answerPolicyRequest(const std::string& text, WorkerState& state);

#endif
