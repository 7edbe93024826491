// Everything the agent reads from the installation directory's settings,
// loaded whole and checked before it is used (at start, and on SIGHUP, when
// a bad file keeps the running settings):
//
//   [kelp_manager]            role (parent | child), scanner_id
//   [smtp_traffic_throttling] smtp_agent_port, the three rules, log_level
//   [smtp_agent]              listen, children, metrics, store_interval,
//                             expire_interval, version_poll_interval, max_keys
//   odbc.ini                  whether a database is configured at all
//
// Every number of [smtp_agent] has its default and range in one table in
// agent_settings.cc. A value that cannot be read is logged with file,
// section, key and value, and the load fails.
#ifndef KEELGATE_AGENT_AGENT_SETTINGS_H
#define KEELGATE_AGENT_AGENT_SETTINGS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "agent/net_address.h"
#include "agent/rules.h"
#include "host/log/log_level.h"

namespace agent {

struct AgentSettings {
  bool parent = true;
  int64_t scannerId = 1;
  int port = 10040;  // the agent port
  RuleSet rules;
  KELP::KELPLogLevel logLevel = KELP::LOG_NORMAL;

  std::vector<std::string> listen;  // addresses to listen on at `port`
  std::vector<Cidr> children;       // blocks of child scanners' addresses
  std::string childrenText;         // as written, for the log
  std::string metricsHost;          // empty: no metrics endpoint
  int metricsPort = 0;
  int storeInterval = 60;  // seconds
  int expireInterval = 10;
  int versionPollInterval = 5;
  int maxKeys = 1000000;  // per rule

  bool databaseConfigured = false;  // odbc.ini names a driver
};

// Loads the settings of the installation directory `home`. False, with
// every problem logged, when one cannot be used (kelp.ini unreadable
// included).
bool loadAgentSettings(const std::string& home, AgentSettings& out);

// The settings a SIGHUP cannot change (sockets, role, identity): a text
// naming the first that differs, or empty.
std::string restartOnlyChange(const AgentSettings& running, const AgentSettings& fresh);

}  // namespace agent

#endif
