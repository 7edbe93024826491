// The settings of SMTP traffic throttling: section [smtp_traffic_throttling]
// of config/kelp.ini, read into a plain record with one table that holds every
// key's default and accepted values.
//
// A missing key takes its default. A value that cannot be read (a boolean that
// is not yes/no, true/false, on/off, 1/0; a number that is not a whole decimal
// number in its range, so no negative number; a block answer that does not
// start with "action=") is logged at level 1 with file, key and value, and the
// whole read fails. An unknown log level word is logged and read as "normal",
// the level that any unknown word means to the log. Unknown keys are logged and
// ignored. Relative paths are taken under the installation directory.
#ifndef KEELGATE_HOST_LISTS_SMTP_CONN_SETTINGS_H
#define KEELGATE_HOST_LISTS_SMTP_CONN_SETTINGS_H

#include <string>

namespace KELP {

class ConfigFileOnDisk;

struct SmtpConnSettings {
  int smtpAgentPort = 0;
  bool enable = false;
  bool ipConnEnable = false;
  bool ipMsgEnable = false;
  int ipInterval = 0;  // seconds
  int ipConnLimit = 0;
  int ipMsgLimit = 0;
  int ipBlockTime = 0;
  bool senderEnable = false;
  int senderInterval = 0;  // seconds
  int senderMsgLimit = 0;
  int senderBlockTime = 0;
  int blockedLogInterval = 0;  // seconds
  std::string blockedLogPath;  // absolute
  std::string blockedLogPrefix;
  int blockedLogRotateSize = 0;  // kilobytes
  std::string trafficLogPath;    // absolute
  std::string trafficLogPrefix;
  int trafficLogRotateSize = 0;  // kilobytes
  std::string ldfFile;           // absolute
  std::string logLevel;          // nolog | normal | detail | diagnostic | debug
  std::string ipBlockedAction;
  std::string senderBlockedAction;
  int maxTrafficKeys = 0;   // keys per traffic map of a child scanner
  int maxBlockedItems = 0;  // items awaiting the blocked CSV log
};

// The section the settings live in.
extern const char kSmtpConnSection[];

// Fills `settings` from `ini` (a loaded kelp.ini). False when a value cannot
// be read; every bad value is logged, not only the first.
bool readSmtpConnSettings(const ConfigFileOnDisk& ini, const std::string& home,
                          SmtpConnSettings& settings);

}  // namespace KELP

#endif
