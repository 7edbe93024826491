// The pool on a tree laid down by scripts/install.sh over an older root-run
// one: every worker runs as kelp with no capability left and reopens a rotated
// log; kelp cannot change what root runs or what decides the policies. What
// kelp does write there, flag files and the CSV log, reload_test and
// startup_test cover on the same layout. Without kelp, no start.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <sstream>
#include <string>

#include "tests/e2e/daemon_harness.h"

namespace e2e {
namespace {

// "user:group mode" of a path, the mode in octal.
std::string ownerOf(const std::string& path) {
  struct stat st = {};
  if (lstat(path.c_str(), &st) != 0) return "missing";
  struct passwd* pw = getpwuid(st.st_uid);
  struct group* gr = getgrgid(st.st_gid);
  std::ostringstream text;
  text << (pw ? pw->pw_name : "?") << ":" << (gr ? gr->gr_name : "?") << " " << std::oct << (st.st_mode & 07777);
  return text.str();
}

// Runs a shell command as kelp in `home`; true when it succeeded.
bool asKelp(const std::string& home, const std::string& command) {
  return system(("cd '" + home + "' && runuser -u kelp -- sh -c '" + command + "' 2>/dev/null").c_str()) == 0;
}

class Privileges : public testing::Test {
 protected:
  void SetUp() override {
    home.logAtDebugLevel();
    for (const char* rel : {"bin/throttling-lists.lock", "bin/keelgate.r3", "log/keelgate.log.1"})
      home.write(rel, "", 0644);  // root's, as a pool that ran as root left them
    std::string build = KEELGATE_BIN;
    build.erase(build.rfind('/'));
    ASSERT_EQ(0, system(("'" KEELGATE_SOURCE_DIR "/scripts/install.sh' '" + build + "' '" + home.home() +
                         "' >/dev/null").c_str()));
  }
  Installation home;
};

TEST_F(Privileges, InstalledTreeKeepsKelpToItsOwnFiles) {
  const std::pair<const char*, const char*> layout[] = {
      {"", "root:root 755"},          {"script", "root:root 755"},          {"bin", "root:kelp 1775"},
      {"config", "root:kelp 750"},    {"config/kelp.ini", "root:kelp 640"}, {"config/throttling", "root:kelp 750"},
      {"log", "kelp:kelp 750"},       {"config/odbc.ini.example", "root:kelp 600"},
      {"bin/throttling-lists.lock", "missing"},  // root's lock and image of an older install are removed,
      {"bin/keelgate.r3", "kelp:kelp 644"},      // its flag file and old logs handed over
      {"log/keelgate.log.1", "kelp:kelp 644"}};
  for (const auto& entry : layout) EXPECT_EQ(entry.second, ownerOf(home.path(entry.first))) << entry.first;
  for (const char* command : {"rm -f bin/keelgate", "mv bin/keelgate-store bin/keelgate", "echo > bin/keelgate",
                              "echo >> config/kelp.ini", "rm -f config/tls_policy.ini"})
    EXPECT_FALSE(asKelp(home.home(), command)) << command;
  EXPECT_EQ("root:root 755", ownerOf(home.path("bin/keelgate"))) << "the program stays root's, in place";
}

TEST_F(Privileges, WorkersRunAsKelpAndReopenARotatedLog) {
  home.write("config/odbc.ini", "# no database yet\n", 0644);  // an operator's slip
  ASSERT_EQ(-1, home.start());
  EXPECT_EQ(1, home.countLog("config/odbc.ini] is readable by every user and holds the database password"));
  struct passwd* kelp = getpwnam("kelp");  // scripts/kelp-account.sh makes it
  ASSERT_NE(nullptr, kelp);
  auto fourTimes = [](unsigned id) { std::string s = std::to_string(id); return s + "\t" + s + "\t" + s + "\t" + s; };
  ASSERT_EQ(20u, home.poolPids().size());
  for (pid_t pid : home.poolPids()) {
    EXPECT_EQ(fourTimes(kelp->pw_uid), procStatus(pid, "Uid")) << pid;  // real, effective, saved, file system
    EXPECT_EQ(fourTimes(kelp->pw_gid), procStatus(pid, "Gid")) << pid;
    EXPECT_EQ(std::to_string(kelp->pw_gid) + " ", procStatus(pid, "Groups")) << pid;
    EXPECT_EQ("0000000000000000 0000000000000000", procStatus(pid, "CapEff") + " " + procStatus(pid, "CapPrm"));
  }
  EXPECT_EQ("kelp:kelp 600", ownerOf(home.path("bin/keelgate.pid")));
  EXPECT_EQ("kelp:kelp 640", ownerOf(home.path("log/keelgate.log")));

  // A rotation: the log moved away and SIGHUP, after which each worker
  // reopens the log, a new file of kelp's.
  ASSERT_EQ(0, rename(home.path("log/keelgate.log").c_str(), home.path("log/keelgate.log.2").c_str()));
  ASSERT_EQ(0, kill(home.mainPid(), SIGHUP));
  EXPECT_TRUE(waitUntil([&] { return home.flaggedWorkers().size() == 20; }, 2500));
  EXPECT_TRUE(home.serveUntilFlagsGone([](int) { return stageRequest("CONNECT", "198.51.100.23"); },
                                       [](int, const std::string& answer) { EXPECT_EQ(kNonNeed, answer); }));
  EXPECT_EQ(20, home.countLog("normal --- keelgate --- ")) << "every worker reopened the log";
  EXPECT_EQ("kelp:kelp 640", ownerOf(home.path("log/keelgate.log")));
}

// As Postfix without its mail_owner: no account, no start.
TEST(PrivilegesWithoutKelp, StartIsRefusedNamingTheAccount) {
  ASSERT_EQ(0, unshare(CLONE_NEWNS));
  ASSERT_EQ(0, mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr));
  Installation home;
  ASSERT_EQ(0, system(("grep -v '^kelp:' /etc/passwd >" + home.path("passwd")).c_str()));
  ASSERT_EQ(0, mount(home.path("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr));
  EXPECT_EQ(255, home.start());
  umount("/etc/passwd");
  EXPECT_EQ(1, home.countLog("normal the system account [kelp] does not exist: "));
  EXPECT_NE(0, access(home.path("bin/keelgate.pid").c_str(), F_OK));
}

}  // namespace
}  // namespace e2e
