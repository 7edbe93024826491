#include "host/base/service_account.h"

#include <errno.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace KELP {

const char kServiceAccount[] = "kelp";

bool lookupServiceAccount(const std::string& name, ServiceAccount& account, std::string& problem) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  if (rc != 0 || found == nullptr) {
    problem = "the system account [" + name + "] " + (rc != 0 ? "cannot be looked up: " + std::string(strerror(rc))
                                                               : std::string("does not exist"));
    return false;
  }
  account.name = name;
  account.uid = pw.pw_uid;
  account.gid = pw.pw_gid;
  int count = 32;
  account.groups.assign(static_cast<size_t>(count), 0);
  while (getgrouplist(name.c_str(), pw.pw_gid, account.groups.data(), &count) < 0)
    account.groups.assign(static_cast<size_t>(count), 0);
  account.groups.resize(static_cast<size_t>(count));
  return true;
}

bool handToServiceAccount(const ServiceAccount& account, const std::string& path) {
  if (geteuid() != 0) return true;
  return chown(path.c_str(), account.uid, account.gid) == 0;
}

namespace {

bool fail(std::string& problem, const char* step) {
  problem = std::string(step) + ": " + strerror(errno);
  return false;
}

// True when the effective or permitted capability set is not empty.
bool holdsCapabilities() {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return true;
  return data[0].effective || data[1].effective || data[0].permitted || data[1].permitted;
}

}  // namespace

bool dropToServiceAccount(const ServiceAccount& account, std::string& problem) {
  if (geteuid() != 0) return true;
  if (setgroups(account.groups.size(), account.groups.data()) != 0) return fail(problem, "setgroups");
  if (setgid(account.gid) != 0) return fail(problem, "setgid");
  if (setuid(account.uid) != 0) return fail(problem, "setuid");
  if (account.uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) {
    problem = "root could be had back after the drop";
    return false;
  }
  if (getuid() != account.uid || geteuid() != account.uid || getgid() != account.gid || getegid() != account.gid) {
    problem = "the process does not run as the account after the drop";
    return false;
  }
  if (account.uid != 0 && holdsCapabilities()) {
    problem = "capabilities are left after the drop";
    return false;
  }
  // Nothing the process runs later may gain privileges (no setuid programs).
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  return true;
}

}  // namespace KELP
