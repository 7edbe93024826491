// The configuration check that runs before the pool starts, and alone as
// `keelgate -t`: kelp.ini and tls_policy.ini are read and checked once, as a
// worker would load them, so that a broken configuration stops the start
// instead of leaving a pool that blocks nothing or applies no TLS policy.
#ifndef KEELGATE_DAEMON_CONFIG_CHECK_H
#define KEELGATE_DAEMON_CONFIG_CHECK_H

#include <string>

// False, after logging each problem with its file, section, key or line, and
// value, when kelp.ini cannot be read, holds a malformed line or a value that
// cannot be read, or when tls_policy.ini exists but cannot be read or holds a
// malformed line. A missing tls_policy.ini is no error (default policy only).
bool checkConfiguration(const std::string& home);

// Also parses the four throttling lists, whose malformed lines are logged
// and skipped (they never fail the check), without building a list image.
void checkThrottlingLists(const std::string& home);

#endif
