// The daemon's process-wide objects. One set per process: built before main,
// inherited by every worker at fork and owned by it from then on.
//
// Threads: g_stop and g_server_close are written by signal handlers and read
// by the worker's threads, hence atomic. The cipher tables, the identity and
// g_kelp_home are set before the workers are forked and only read afterwards.
#ifndef KEELGATE_DAEMON_GLOBALS_H
#define KEELGATE_DAEMON_GLOBALS_H

#include <atomic>
#include <map>
#include <string>

#include "host/base/answer_counters.h"
#include "host/config/dual_source.h"
#include "host/config/global_setting.h"
#include "host/log/log.h"
#include "host/lists/smtp_conn_config.h"
#include "throttling/smtp_conn_blocked_list.h"
#include "throttling/smtp_conn_traffic_list.h"

typedef std::map<std::string, std::string> CipherSuiteMap;  // cipher name -> key length

extern KELP::QxDBConnPoolWrapper g_keelgate_pool;
extern KELP::DualSource g_keelgate_conn;
extern KELP::GlobalSetting* g_cfg_kelp_onmem;
extern KELP::LogMsg* g_logmsg;

extern CipherSuiteMap g_medium_cipher_suites;
extern CipherSuiteMap g_high_cipher_suites;
extern std::string g_kelp_home;

// Throttling state of this worker; shared by its accepting thread and its two
// background threads (each class serialises its own data).
extern SmtpConnConfig smtpConnConfig;
extern SmtpConnBlockedList smtpConnBlockedList;
extern SmtpConnTrafficList smtpConnTrafficList;

extern std::atomic<bool> g_stop;
extern std::atomic<bool> g_server_close;

// Per-answer counters, mapped by the main process before the workers fork
// (bin/keelgate.counters); each worker writes its own slot.
extern KELP::AnswerCounters g_answer_counters;

extern bool ismaster;
extern std::string parentIP;
extern int parentPort;
extern int scannerID;

#endif
