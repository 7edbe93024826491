#include "daemon/globals.h"

// Built in this order; g_keelgate_conn refers to g_keelgate_pool and is
// destroyed before it.
KELP::QxDBConnPoolWrapper g_keelgate_pool(KELP::QxDBAbstractConnection::DBMS_POSTGRESQL, 100);
KELP::DualSource g_keelgate_conn(g_keelgate_pool, "config/ha/keelgate");
KELP::GlobalSetting* g_cfg_kelp_onmem = nullptr;
KELP::LogMsg* g_logmsg = nullptr;

CipherSuiteMap g_medium_cipher_suites;
CipherSuiteMap g_high_cipher_suites;
std::string g_kelp_home;
SmtpConnConfig smtpConnConfig;
SmtpConnBlockedList smtpConnBlockedList;
SmtpConnTrafficList smtpConnTrafficList;

std::string parentIP;

std::atomic<bool> g_stop{false};
std::atomic<bool> g_server_close{false};

KELP::AnswerCounters g_answer_counters;

bool ismaster = false;
int parentPort = 0;
int scannerID = 0;
