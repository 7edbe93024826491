// The scanner's role in its deployment, from config/kelp.ini
// ([kelp_manager] role = parent | child; missing means parent).
#ifndef KEELGATE_HOST_CONFIG_ROLE_H
#define KEELGATE_HOST_CONFIG_ROLE_H

#include <string>

// True when this scanner is the parent. Reads the installation directory of
// the environment (KELP_HOME, or /opt/corvo/kelp when unset or empty).
bool isMaster();
// The same for the installation directory `home`. An unreadable file or a
// missing key means parent; a word other than parent or child is logged and
// taken as parent.
bool isMaster(const std::string& home);

#endif
