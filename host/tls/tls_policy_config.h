// The gateway's TLS policies, read from config/tls_policy.ini.
//
// A policy names a TLS level and a cipher class and applies to client
// addresses (IPv4/IPv6 addresses or CIDR blocks) and to sender domains
// (exact "bank.example" or any subdomain ".bank.example"). Lookups:
//  - by client address: the longest matching prefix wins, among equals the
//    policy that comes first in the file; no match leaves the record as it is.
//    A client in IPv4-mapped IPv6 form (::ffff:192.0.2.1) matches the IPv4
//    entries;
//  - by sender domain, case-insensitive: an exact entry wins over a subdomain
//    entry, the longest matching subdomain entry over a shorter one, among
//    equals the first in the file; no match fills the record with the default.
// Lookups cost the same whatever the number of policies (hash tables per
// prefix length and per domain suffix).
//
// File: "[default]" with `level` and `cipher`, and "[policy NAME]" sections
// with `level`, `cipher`, `clients` and `domains`. A missing level is "may", a
// missing cipher "medium", in [default] and in policies alike; without
// [default] the default is named "default". Known level and cipher words are
// read in any case and stored in lower case; unknown words are logged and kept
// as written (the daemon reads them as TLS required, Medium or better). Lists
// are separated by blanks or commas; repeated `clients` or `domains` lines add
// up. Unreadable entries, unknown keys and other sections are logged at the
// normal level and skipped; the rest of the file loads. The direction selects
// nothing: both directions read the same file.
//
// One instance per worker, used by the accepting thread only. A load builds
// the new tables aside and swaps them in whole. A missing file leaves only the
// default policy; a file that exists but cannot be read, or holds a line that
// is neither a section, a key = value line, a comment nor blank, is logged
// and leaves the policies in force as they were (fail closed: a broken edit
// never drops a policy). A reload that finds the file as the last load left it
// (size, times, inode; its last change then already two seconds old) keeps
// the tables without reading it: twenty workers reloading at once would
// otherwise parse the same file twenty times.
#ifndef KEELGATE_HOST_TLS_TLS_POLICY_CONFIG_H
#define KEELGATE_HOST_TLS_TLS_POLICY_CONFIG_H

#include <memory>
#include <string>

#include "host/base/file_stamp.h"

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

  // Load the policies. Unknown keys, words and unreadable entries are logged
  // with file, section and value; the rest of the file still loads. False
  // when the file exists but cannot be read or holds a malformed line: the
  // policies in force are then kept.
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
  KELP::FileStamp loaded_;  // of the file the tables were read from
  bool settled_ = false;    // loaded_ may stand for the file's contents
};

#endif
