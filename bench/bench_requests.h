// The policy requests of the benchmarks: Postfix's attribute set (~600
// bytes), with client addresses, senders and TLS attributes drawn from the
// spreads of bench_names.h. Shared by the load generator and the in-process
// drivers so that both measure the same requests.
#ifndef KEELGATE_BENCH_BENCH_REQUESTS_H
#define KEELGATE_BENCH_BENCH_REQUESTS_H

#include <random>
#include <string>

#include "bench/bench_names.h"

namespace bench {

struct Spread {
  uint32_t ips = 100000;       // client addresses 10.x.y.z, k < ips
  uint32_t senders = 100000;   // senders u < senders
  uint32_t domains = 1000;     // sender domains
  int tlsPercent = 50;         // MAIL requests with a cipher; half of them with a certificate
};

// One request; `mail` selects protocol_state MAIL (else CONNECT, no sender).
inline std::string policyRequest(const Spread& s, std::mt19937& rng, bool mail) {
  uint32_t k = rng() % s.ips;
  std::string ip = dottedQuad(clientAddr(k));
  std::string host = "host-" + std::to_string(k) + ".clients.example.net";
  bool tls = mail && static_cast<int>(rng() % 100) < s.tlsPercent;
  bool cert = tls && rng() % 2 == 0;
  std::string r;
  r.reserve(700);
  r += "request=smtpd_access_policy\nprotocol_state=";
  r += mail ? "MAIL" : "CONNECT";
  r += "\nprotocol_name=ESMTP\nclient_address=" + ip + "\nclient_name=" + host;
  r += "\nclient_port=" + std::to_string(1024 + rng() % 60000) + "\nreverse_client_name=" + host;
  r += "\nserver_address=192.0.2.25\nserver_port=25\nhelo_name=" + host;
  r += "\nsender=" + (mail ? senderName(rng() % s.senders, s.domains) : std::string());
  r += "\nrecipient=\nrecipient_count=0\nqueue_id=\ninstance=" + std::to_string(rng() % 100000) + ".65f1a2b3.1";
  r += "\nsize=0\netrn_domain=\nstress=\nsasl_method=\nsasl_username=\nsasl_sender=";
  r += "\nccert_subject=" + std::string(cert ? host : "");
  r += "\nccert_issuer=" + std::string(cert ? "Example CA" : "");
  r += "\nccert_fingerprint=\nccert_pubkey_fingerprint=";
  r += "\nencryption_protocol=" + std::string(tls ? "TLSv1.3" : "");
  r += "\nencryption_cipher=" + std::string(tls ? (rng() % 4 ? "TLS_AES_256_GCM_SHA384" : "AES128-SHA") : "");
  r += "\nencryption_keysize=" + std::string(tls ? "256" : "");
  r += "\npolicy_context=\ncompatibility_level=3.6\nmail_version=3.7.11\n\n";
  return r;
}

}  // namespace bench

#endif
