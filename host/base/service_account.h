// The system account the daemon and the agent run as once their root work is
// done ("kelp"): they bind their ports and claim their pid files as root,
// then drop to this account for good, before any byte from a peer is read.
#ifndef KEELGATE_HOST_BASE_SERVICE_ACCOUNT_H
#define KEELGATE_HOST_BASE_SERVICE_ACCOUNT_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace KELP {

// The account's name. The installed programs always use "kelp"; tests may
// name another.
extern const char kServiceAccount[];

struct ServiceAccount {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups, the primary included
};

// Looks the account up in the system's user database. False when it does not
// exist, the lookup failed or it is root's user or group; `problem` then says
// which.
bool lookupServiceAccount(const std::string& name, ServiceAccount& account, std::string& problem);

// Hands a file this process created as root to the account (owner and group);
// harmless when not root. Only a regular file with one name is handed over: a
// symbolic link fails with ELOOP, anything else that is no such file with
// EPERM. False, errno kept, when it fails.
bool handToServiceAccount(const ServiceAccount& account, const std::string& path);

// When running as root: sets the supplementary groups, the group and the user
// of the account, in that order, and verifies that root cannot be had back
// (setuid(0) must fail) and that no capability is left. When not root, only
// empties the capability sets (a program file may have been given
// cap_net_bind_service). False, with `problem`, when any step fails: the
// caller must then exit.
bool dropToServiceAccount(const ServiceAccount& account, std::string& problem);

}  // namespace KELP

#endif
