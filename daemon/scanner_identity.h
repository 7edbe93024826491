// Who this scanner is: parent or child, its scanner id, and where the parent's
// SMTP agent listens. Determined once by the main process before the workers
// are forked; a reload does not change them.
#ifndef KEELGATE_DAEMON_SCANNER_IDENTITY_H
#define KEELGATE_DAEMON_SCANNER_IDENTITY_H

#include <string>

// Stores isMaster() through `isParent`; -1 when the pointer is null.
int check_parent(bool* isParent);

// Sets scannerID from kelp.ini [kelp_manager] scanner_id when it is 1 or more.
void getScannerId();

// Sets parentIP (slave.nfo [master] master_ip) and parentPort (kelp.ini
// [smtp_traffic_throttling] smtp_agent_port, 10040 by default). False when a
// file cannot be read or master_ip is missing.
bool getParentIPandPort();

// Decimal conversion as the settings use it: leading blanks and a sign,
// digits up to the first other character, 0 without digits; saturates at the
// int range.
int decimalPrefix(const std::string& text);

#endif
