// The gateway's TLS policies, read from config/tls_policy.ini.
//
// A policy names a TLS level and a cipher class and applies to client
// addresses (IPv4/IPv6 addresses or CIDR blocks) and to sender domains
// (exact "bank.example" or any subdomain ".bank.example"). Lookups:
//  - by client address: the longest matching prefix wins, among equals the
//    policy that comes first in the file; no match leaves the record as it is;
//  - by sender domain, case-insensitive: an exact entry wins over a subdomain
//    entry, the longest matching subdomain entry over a shorter one; no match
//    fills the record with the default policy.
// Lookups cost the same whatever the number of policies (hash tables per
// prefix length and per domain suffix).
//
// One instance per worker, used by the accepting thread only. A load builds
// the new tables aside and swaps them in whole.
#ifndef KEELGATE_HOST_TLS_POLICY_CONFIG_H
#define KEELGATE_HOST_TLS_POLICY_CONFIG_H

#include <memory>
#include <string>

namespace KELP { class ConfigFileOnDisk; }

// The record one lookup fills.
struct TLSPolicy {
  std::string name;
  std::string level;   // "none", "may", "encrypt", "verify"; other words mean TLS required
  std::string cipher;  // "high", "medium"; other words mean Medium or better
};

enum TLS_POLICY_DIRECTION { TLS_POLICY_INBOUND = 0, TLS_POLICY_OUTBOUND = 1 };

class TLSPolicyConfig {
 public:
  // `home` is the installation directory; empty means the environment's
  // KELP_HOME (or /opt/corvo/kelp when that is unset or empty).
  explicit TLSPolicyConfig(TLS_POLICY_DIRECTION direction, const std::string& home = "");
  ~TLSPolicyConfig();

  // Load the policies. Problems are logged with file, section and value; the
  // rest of the file still loads. A missing file leaves only the default policy.
  // Returns false when the file could not be read.
  bool init();
  bool reload();

  // byClient true: `key` is a client address; false: a sender domain.
  // True when a policy matching the key was stored into `policy`.
  bool getTLSPolicy(std::string& key, TLSPolicy& policy, bool byClient);

  // The default policy as loaded.
  const TLSPolicy& defaultPolicy() const;
  // Number of policies loaded, default excluded.
  size_t size() const;

 private:
  struct Tables;
  std::string path_;
  std::unique_ptr<Tables> tables_;
};

#endif
