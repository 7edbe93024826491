// The configuration of SMTP traffic throttling: the rule switches and
// intervals, the log and answer settings of [smtp_traffic_throttling] in
// config/kelp.ini (see smtp_conn_settings.h), the four list files of
// config/throttling/ (see throttling_lists.h) and the automatic blocks, with
// the two lookups the throttling decision asks on every request.
//
// Lookups:
//  getIPInfo(ip, kind): 2 the text contains ':' (IPv6); 1 not a strict dotted
//    quad; 5 an approved entry holds it (approval beats every block); 3 blocked
//    and the block holds; 4 blocked but the block has expired; else 6. Among
//    the blocked-list entries that hold the address the longest prefix decides.
//    Kind 3 also consults the automatic blocks of the IP (types 1 and 3), kind
//    1 (and any other kind) does not. A block that holds anywhere beats an
//    expired one: the list is asked first, and when its entry has expired an
//    automatic block can still answer 3.
//  getSenderInfo(sender): 9 approved (address, domain or <>); 7 blocked and
//    holding, 8 blocked but expired, in the same way: the list's most specific
//    entry (address before domain) first, then the automatic blocks of type 2;
//    else 10. Case is ignored; "" and "<>" are the null sender.
//  A block holds while the clock is before its expiration and has expired from
//  that very second on.
//
// Threads. init() runs on the accepting thread, at worker start and on reload.
//  - The static rule records and `enable` are read by every thread without a
//    lock: they are atomics, each written once at the end of an init().
//  - The other public members are written by init() and read only by the
//    accepting thread; another thread takes settings() instead.
//  - getIPInfo, getSenderInfo, setAutoBlocks and settings() are safe from any
//    thread: the lists, the automatic blocks and the settings are immutable
//    snapshots replaced whole under a small mutex, so no lookup ever sees a
//    half-loaded list.
// The lists live in a list image shared by all workers (list_image_store.h,
// under <home>/bin); init() maps a new one only when the list files changed.
// A failed init() changes nothing: switches, rules, lists and settings keep
// their last good load (before the first one, nothing is configured).
#ifndef KEELGATE_HOST_LISTS_SMTP_CONN_CONFIG_H
#define KEELGATE_HOST_LISTS_SMTP_CONN_CONFIG_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/lists/smtp_conn_settings.h"

namespace KELP { class ListImage; }

// Switches read as bool, numbers as int; pass them to printf-style functions
// through a conversion ("rule.interval + 0", "rule.x ? 1 : 0"). Copying
// stores field by field, so "rule = SmtpConnIPBaseRule()" clears a record.
struct SmtpConnIPBaseRule {
  SmtpConnIPBaseRule() = default;
  SmtpConnIPBaseRule(const SmtpConnIPBaseRule& other) { *this = other; }
  SmtpConnIPBaseRule& operator=(const SmtpConnIPBaseRule& other);
  void clear() { *this = SmtpConnIPBaseRule(); }

  std::atomic<bool> ConnBaseIPConnEnable{false};
  std::atomic<bool> ConnBaseIPMsgEnable{false};
  std::atomic<int> interval{0};  // counting interval, seconds
  std::atomic<int> connLimit{0};
  std::atomic<int> msgLimit{0};
  std::atomic<int> blockTime{0};
};

struct SmtpConnSenderBaseRule {
  SmtpConnSenderBaseRule() = default;
  SmtpConnSenderBaseRule(const SmtpConnSenderBaseRule& other) { *this = other; }
  SmtpConnSenderBaseRule& operator=(const SmtpConnSenderBaseRule& other);
  void clear() { *this = SmtpConnSenderBaseRule(); }

  std::atomic<bool> SenderBaseEnable{false};
  std::atomic<int> interval{0};  // counting interval, seconds
  std::atomic<int> msgLimit{0};
  std::atomic<int> blockTime{0};
};

// A block made by the gateway itself rather than the administrator. Types 1
// and 3 block `ip` (a dotted quad), type 2 `sender`; other types are ignored.
// `expiration` is taken literally: automatic blocks always end.
struct AutoBlock {
  std::string ip;
  std::string sender;
  int type;
  long long expiration;  // seconds since the epoch
};

class SmtpConnConfig {
 public:
  // `home` is the installation directory; "" means KELP_HOME or /opt/corvo/kelp.
  explicit SmtpConnConfig(const std::string& home = "");
  ~SmtpConnConfig();
  SmtpConnConfig(const SmtpConnConfig&) = delete;
  SmtpConnConfig& operator=(const SmtpConnConfig&) = delete;

  static SmtpConnIPBaseRule smtpConnIPBaseRule;
  static SmtpConnSenderBaseRule smtpConnSenderBaseRule;

  // Loads kelp.ini, the lists and the automatic blocks: the rows of
  // t_sender_filter_blocked when odbc.ini configures a database, and those of
  // the local agent's file (agent_block_file.h). False, logged, when
  // kelp.ini cannot be read, holds a malformed line or a value that cannot be
  // read; the configuration in force is then kept. A database that cannot
  // be read (bounded by the login and query timeouts) is logged and its
  // blocks of the last load stay.
  bool init();
  int getIPInfo(std::string& ip, int kind);
  int getSenderInfo(std::string& sender);

  // Replaces the automatic blocks whole.
  void setAutoBlocks(const std::vector<AutoBlock>& blocks);
  // The settings of the last successful init(), or null before one.
  std::shared_ptr<const KELP::SmtpConnSettings> settings() const;
  const std::string& home() const { return home_; }

  std::atomic<bool> enable{false};
  std::string blockedLogPath;  // absolute
  std::string blockedLogPrefix;
  int blockedLogRotateSize = 0;  // kilobytes
  std::string trafficLogPath;    // absolute
  std::string trafficLogPrefix;
  int trafficLogRotateSize = 0;  // kilobytes
  int blockedLogInterval = 0;    // seconds
  std::string ldfFile;           // absolute
  std::string logLevel;          // a level word, "normal" when not set
  std::string ipBlockedAction;
  std::string senderBlockedAction;
  int maxTrafficKeys = 1000000;
  int maxBlockedItems = 1000000;

 private:
  struct AutoBlockTable;
  void loadAutoBlocks();
  void publish(const std::shared_ptr<const KELP::SmtpConnSettings>& settings,
               const std::shared_ptr<const KELP::ListImage>& lists);

  const std::string home_;
  std::vector<AutoBlock> databaseBlocks_;  // accepting thread only: the last rows read
  mutable std::mutex mu_;
  std::shared_ptr<const KELP::SmtpConnSettings> settings_;  // guarded by mu_
  std::shared_ptr<const KELP::ListImage> lists_;            // guarded by mu_
  std::shared_ptr<const AutoBlockTable> autoBlocks_;        // guarded by mu_
};

#endif
