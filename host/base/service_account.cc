#include "host/base/service_account.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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
  if (pw.pw_uid == 0 || pw.pw_gid == 0) {
    problem = "the system account [" + name + "] is root's user or group";
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

// The files handed over lie in folders the account can write (bin/, log/):
// by the time root gets to them the account may have put a symbolic or hard
// link there in their place, and chown(2) would then give it root's file. So
// the name is opened without following links, and only a regular file with a
// single name is handed over.
bool handToServiceAccount(const ServiceAccount& account, const std::string& path) {
  if (geteuid() != 0) return true;
  int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    ok = false;
    errno = S_ISLNK(st.st_mode) ? ELOOP : EPERM;
  }
  ok = ok && fchownat(fd, "", account.uid, account.gid, AT_EMPTY_PATH) == 0;
  int err = errno;
  close(fd);
  errno = err;
  return ok;
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

// Empties every capability set of a process that is not root but was given
// some (a program file with `setcap cap_net_bind_service`): the ports are
// bound by now.
bool clearCapabilities() {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[2] = {};
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) return false;
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

bool dropToServiceAccount(const ServiceAccount& account, std::string& problem) {
  if (geteuid() != 0) {
    if (!clearCapabilities()) return fail(problem, "capset");
    if (holdsCapabilities()) {
      problem = "capabilities are left after they were cleared";
      return false;
    }
    return true;
  }
  if (account.uid == 0 || account.gid == 0) {
    problem = "the account is root's user or group";
    return false;
  }
  if (setgroups(account.groups.size(), account.groups.data()) != 0) return fail(problem, "setgroups");
  if (setgid(account.gid) != 0) return fail(problem, "setgid");
  if (setuid(account.uid) != 0) return fail(problem, "setuid");
  if (setuid(0) == 0 || seteuid(0) == 0 || setegid(0) == 0) {
    problem = "root could be had back after the drop";
    return false;
  }
  if (getuid() != account.uid || geteuid() != account.uid || getgid() != account.gid || getegid() != account.gid) {
    problem = "the process does not run as the account after the drop";
    return false;
  }
  if (holdsCapabilities()) {
    problem = "capabilities are left after the drop";
    return false;
  }
  // Nothing the process runs later may gain privileges (no setuid programs).
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  return true;
}

}  // namespace KELP
