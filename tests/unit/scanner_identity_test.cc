#include "daemon/scanner_identity.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "daemon/globals.h"
#include "host/config/global_setting.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::debug;
using keelgate_test::LogLine;
using keelgate_test::LogLines;
using keelgate_test::normal;

// KELP_HOME points at a temporary installation; the identity globals and the
// settings handle are restored after each test.
class ScannerIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = g_cfg_kelp_onmem;
    saved_id_ = scannerID;
    saved_ip_ = parentIP;
    saved_port_ = parentPort;
    log_ = &keelgate_test::captureLog();
  }
  void TearDown() override {
    g_cfg_kelp_onmem = saved_settings_;
    scannerID = saved_id_;
    parentIP = saved_ip_;
    parentPort = saved_port_;
  }
  // Writes config/<name>, or removes it when `text` is null.
  void config(const char* name, const char* text) {
    std::string relative = std::string("config/") + name;
    if (text == nullptr) {
      unlink((dir_ / relative).c_str());
      return;
    }
    ASSERT_TRUE(dir_.write(relative, text));
  }

  keelgate_test::TempDir dir_;
  keelgate_test::ScopedEnv home_{"KELP_HOME", dir_.path()};
  keelgate_test::CaptureSink* log_ = nullptr;

 private:
  std::string saved_ip_;
  KELP::GlobalSetting* saved_settings_ = nullptr;
  int saved_id_ = 0, saved_port_ = 0;
};

TEST_F(ScannerIdentityTest, DecimalPrefix) {
  struct Case { const char* label; const char* text; int value; } cases[] = {
      {"leading blanks, trailing letters", " 12abc", 12},
      {"plus sign", "+7", 7},
      {"sign without digits", "-", 0},
      {"blank between sign and digits", "- 3", 0},
      {"hexadecimal is not read", "0x1A", 0},
      {"leading zeros stay decimal", "010", 10},
      {"largest int", "2147483647", INT_MAX},
      {"one past the largest int saturates", "2147483648", INT_MAX},
      {"far beyond a long saturates", "99999999999999999999999", INT_MAX},
      {"smallest int", "-2147483648", INT_MIN},
      {"one below the smallest int saturates", "-2147483649", INT_MIN},
      {"far below a long saturates", "-99999999999999999999999", INT_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, decimalPrefix(c.text)) << c.label;
}

TEST_F(ScannerIdentityTest, ScannerIdIsTakenWhenOneOrMore) {
  const char failed[] = "Get global setting 'scanner_id' in section 'kelp_manager', inifile 'kelp.ini' failed.";
  struct Case {
    const char* label;
    const char* ini;  // config/kelp.ini; null: no settings object at all
    int before, after;
    LogLines log;
  } cases[] = {
      {"lowest valid id", "[kelp_manager]\nscanner_id = 1\n", 0, 1, {debug("scanner id of this machine is 1")}},
      {"huge id saturates", "[kelp_manager]\nscanner_id = 99999999999\n", 0, INT_MAX,
       {debug("scanner id of this machine is 2147483647")}},
      {"zero", "[kelp_manager]\nscanner_id = 0\n", 0, 0,
       {debug("scanner id of this machine is 0"), normal("Invalid scanner id 0")}},
      {"negative leaves the old id", "[kelp_manager]\nscanner_id = -3\n", 7, 7,
       {debug("scanner id of this machine is -3"), normal("Invalid scanner id -3")}},
      {"key missing", "[kelp_manager]\nrole = child\n", 5, 5, {normal(failed)}},
      {"no settings object", nullptr, 0, 0, {normal(failed)}},
  };
  for (const Case& c : cases) {
    g_cfg_kelp_onmem = nullptr;
    if (c.ini != nullptr) {
      config("kelp.ini", c.ini);
      g_cfg_kelp_onmem = KELP::GlobalSettingOnMem::Instance((dir_ / "config/kelp.ini").c_str(), true, nullptr,
                                                            nullptr, nullptr, nullptr, true);
      ASSERT_NE(nullptr, g_cfg_kelp_onmem) << c.label;
    }
    scannerID = c.before;
    log_->clear();
    getScannerId();
    EXPECT_EQ(c.after, scannerID) << c.label;
    EXPECT_EQ(c.log, log_->lines()) << c.label;
  }
}

TEST_F(ScannerIdentityTest, ParentAddressFromSlaveNfoAndPortFromKelpIni) {
  const char slave[] = "[master]\nmaster_ip = 10.0.0.1\n";
  const LogLine ipFound = debug("get parent ip:10.0.0.1 from /config/slave.nfo");
  const LogLine defaultPort =
      normal("can't get parent SMTP agent port from /config/kelp.ini, use default port 10040");
  const LogLine port10040 = debug("get parent SMTP agent port :10040 from /config/kelp.ini");
  struct Case {
    const char* label;
    const char* slave;  // config/slave.nfo; null: missing
    const char* kelp;   // config/kelp.ini; null: missing
    bool ok;
    const char* ip;  // "prior" before the call
    int port;        // 1 before the call
    LogLines log;
  } cases[] = {
      {"slave.nfo missing: no message", nullptr, "[smtp_traffic_throttling]\nsmtp_agent_port = 25\n", false,
       "prior", 1, {}},
      {"master_ip missing", "[master]\nother = 1\n", "", false, "", 1,
       {normal("can't get parent ip from /config/slave.nfo")}},
      {"kelp.ini missing: no message, port untouched", slave, nullptr, false, "10.0.0.1", 1, {ipFound}},
      {"port missing: default without a message", slave, "[kelp_manager]\nscanner_id = 1\n", true, "10.0.0.1",
       10040, {ipFound, port10040}},
      {"port zero", slave, "[smtp_traffic_throttling]\nsmtp_agent_port = 0\n", true, "10.0.0.1", 10040,
       {ipFound, defaultPort, port10040}},
      {"port 1", slave, "[smtp_traffic_throttling]\nsmtp_agent_port = 1\n", true, "10.0.0.1", 1,
       {ipFound, debug("get parent SMTP agent port :1 from /config/kelp.ini")}},
      {"port beyond 65535 kept", slave, "[smtp_traffic_throttling]\nsmtp_agent_port = 70000\n", true,
       "10.0.0.1", 70000, {ipFound, debug("get parent SMTP agent port :70000 from /config/kelp.ini")}},
      {"address kept as written", "[master]\nmaster_ip = Parent.Example\n", "", true, "Parent.Example", 10040,
       {debug("get parent ip:Parent.Example from /config/slave.nfo"), port10040}},
  };
  for (const Case& c : cases) {
    config("slave.nfo", c.slave);
    config("kelp.ini", c.kelp);
    parentIP = "prior";
    parentPort = 1;
    log_->clear();
    EXPECT_EQ(c.ok, getParentIPandPort()) << c.label;
    EXPECT_EQ(c.ip, parentIP) << c.label;
    EXPECT_EQ(c.port, parentPort) << c.label;
    EXPECT_EQ(c.log, log_->lines()) << c.label;
  }
}

TEST_F(ScannerIdentityTest, CheckParentReadsTheRole) {
  struct Case { const char* label; const char* kelp; bool parent; } cases[] = {
      {"role child", "[kelp_manager]\nrole = child\n", false},
      {"role parent", "[kelp_manager]\nrole = parent\n", true},
      {"role missing", "[kelp_manager]\nscanner_id = 1\n", true},
      {"kelp.ini missing", nullptr, true},
  };
  for (const Case& c : cases) {
    config("kelp.ini", c.kelp);
    bool parent = !c.parent;
    EXPECT_EQ(0, check_parent(&parent)) << c.label;
    EXPECT_EQ(c.parent, parent) << c.label;
  }
  EXPECT_EQ(-1, check_parent(nullptr));
}

}  // namespace
