#include "daemon/startup_init.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon/globals.h"
#include "host/log/log.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::LogLine;
using keelgate_test::LogLines;
using keelgate_test::normal;

const KELP::KELPLogLevel kUntouched = 99;  // a threshold no set-up would choose

// Runs each test against its own installation directory: g_kelp_home and
// KELP_HOME point at it, and the globals initLog sets are restored after.
class StartupInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_home_ = g_kelp_home;
    saved_settings_ = g_cfg_kelp_onmem;
    saved_logmsg_ = g_logmsg;
    capture_ = &keelgate_test::captureLog();
    g_high_cipher_suites.clear();
    g_medium_cipher_suites.clear();
  }
  void TearDown() override {
    g_kelp_home = saved_home_;
    g_cfg_kelp_onmem = saved_settings_;
    g_logmsg = saved_logmsg_;
    g_high_cipher_suites.clear();
    g_medium_cipher_suites.clear();
    keelgate_test::captureLog();  // away from the file sink of a removed directory
  }

  // A fresh installation: config/kelp.ini and, unless null, config/ha/keelgate
  // with `settings` as its text. The threshold is set to kUntouched.
  std::unique_ptr<keelgate_test::TempDir> install(const char* settings) {
    std::unique_ptr<keelgate_test::TempDir> dir(new keelgate_test::TempDir);
    g_kelp_home = dir->path();
    setenv("KELP_HOME", dir->path().c_str(), 1);
    EXPECT_TRUE(dir->write("config/kelp.ini", "[kelp_manager]\nscanner_id = 1\n"));
    if (settings != nullptr) {
      EXPECT_TRUE(dir->write("config/ha/keelgate", settings));
    }
    KELP::Log::Init(nullptr, kUntouched);
    capture_->clear();
    return dir;
  }

  // The lines of <home>/log/keelgate.log without their time and process head:
  // "<head>] <level word> <text>".
  static LogLines fileLog(const keelgate_test::TempDir& dir) {
    LogLines out;
    for (const std::string& line : keelgate_test::fileLines(dir / "log/keelgate.log")) {
      size_t head = line.find("] "), word = line.find(' ', head + 2);
      out.push_back(LogLine{KELP::levelFromWord(line.substr(head + 2, word - head - 2)), line.substr(word + 1)});
    }
    return out;
  }

  // Replaces every "@HOME@" by the installation directory.
  static std::string atHome(std::string text, const keelgate_test::TempDir& dir) {
    for (size_t p; (p = text.find("@HOME@")) != std::string::npos;) text.replace(p, 6, dir.path());
    return text;
  }

  keelgate_test::CaptureSink* capture_ = nullptr;

 private:
  keelgate_test::ScopedEnv env_{"KELP_HOME", ""};  // set per installation, restored after
  std::string saved_home_;
  KELP::GlobalSetting* saved_settings_ = nullptr;
  KELP::LogMsg* saved_logmsg_ = nullptr;
};

const LogLine kBanner = normal("--- keelgate --- ");

TEST_F(StartupInitTest, LogLevelWordSetsTheThreshold) {
  struct Case {
    const char* label;
    const char* settings;  // config/ha/keelgate; null: no such file
    KELP::KELPLogLevel threshold;
    bool banner;
  } cases[] = {
      {"DEBUG in upper case", "tls_log_level = DEBUG\n", KELP::LOG_DEBUG, true},
      {"Diagnostic in mixed case", "tls_log_level = Diagnostic\n", KELP::LOG_DIAGNOSTIC, true},
      {"detail", "tls_log_level = detail\n", KELP::LOG_DETAIL, true},
      {"nolog writes not even the banner", "tls_log_level = nolog\n", KELP::LOG_NOLOG, false},
      {"unknown word", "tls_log_level = verbose\n", KELP::LOG_NORMAL, true},
      {"level number is no word", "tls_log_level = 4\n", KELP::LOG_NORMAL, true},
      {"key missing", "other_key = debug\n", KELP::LOG_NORMAL, true},
      {"settings file missing", nullptr, KELP::LOG_NORMAL, true},
  };
  for (const Case& c : cases) {
    for (bool reinit : {false, true}) {
      auto dir = install(c.settings);
      std::string label = std::string(c.label) + (reinit ? " (reinit)" : "");
      EXPECT_EQ(0, initLog(reinit)) << label;
      EXPECT_EQ(c.threshold, KELP::Log::threshold()) << label;
      EXPECT_EQ(c.banner ? LogLines{kBanner} : LogLines{}, fileLog(*dir)) << label;
      for (const auto& line : capture_->lines())
        EXPECT_FALSE(line == kBanner) << label << ": the file sink replaces the previous one";
      EXPECT_NE(nullptr, g_cfg_kelp_onmem) << label;
      EXPECT_NE(nullptr, g_logmsg) << label;
      keelgate_test::captureLog();
    }
  }
}

TEST_F(StartupInitTest, FailedSetUpKeepsThePreviousLogAndWritesNothing) {
  struct Case {
    const char* label;
    void (*breakIt)(const keelgate_test::TempDir&);
  } cases[] = {
      {"kelp.ini missing", [](const keelgate_test::TempDir& d) { unlink((d / "config/kelp.ini").c_str()); }},
      {"kelp.ini unreadable",
       [](const keelgate_test::TempDir& d) {
         unlink((d / "config/kelp.ini").c_str());
         d.makeDirs("config/kelp.ini");
       }},
      {"log directory cannot be made", [](const keelgate_test::TempDir& d) { d.write("log", "a file"); }},
  };
  for (const Case& c : cases) {
    for (bool reinit : {false, true}) {
      auto dir = install("tls_log_level = debug\n");
      c.breakIt(*dir);
      std::string label = std::string(c.label) + (reinit ? " (reinit)" : "");
      EXPECT_EQ(-1, initLog(reinit)) << label;
      EXPECT_EQ(kUntouched, KELP::Log::threshold()) << label;
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "still here");
      EXPECT_EQ(LogLines{normal("still here")}, capture_->lines()) << label << ": the previous sink stays";
      EXPECT_FALSE(dir->exists("log/keelgate.log")) << label;
    }
  }
}

// The fake tool records each class it is asked for in <home>/calls.
const char kScriptHead[] =
    "#!/bin/sh\n"
    "d=\"$(dirname \"$0\")/..\"\n"
    "echo \"$3\" >>\"$d/calls\"\n";
const char kListings[] =
    "if [ \"$3\" = HIGH ]; then\n"
    "  echo 'TLS_AES_256_GCM_SHA384  TLSv1.3 Kx=any      Au=any  Enc=AESGCM(256)            Mac=AEAD'\n"
    "  echo 'ECDHE-RSA-AES256-GCM-SHA384 TLSv1.2 Kx=ECDH     Au=RSA  Enc=AESGCM(256)            Mac=AEAD'\n"
    "else\n"
    "  echo 'IDEA-CBC-SHA            SSLv3 Kx=RSA      Au=RSA  Enc=IDEA(128)              Mac=SHA1'\n"
    "  echo 'SEED-SHA                SSLv3 Kx=RSA      Au=RSA  Enc=SEED(128)              Mac=SHA1'\n"
    "fi\n";
const char kMediumCommand[] = "@HOME@/script/openssl ciphers -v \"MEDIUM\" >@HOME@/bin/cipher_medium";

TEST_F(StartupInitTest, InitBuildsTheCipherTablesAndFlagFiles) {
  const CipherSuiteMap high = {{"ECDHE-RSA-AES256-GCM-SHA384", "256"}, {"TLS_AES_256_GCM_SHA384", "256"}};
  const CipherSuiteMap medium = {{"IDEA-CBC-SHA", "128"}, {"SEED-SHA", "128"}};
  struct Case {
    const char* label;
    std::string script;  // after kScriptHead
    int result;
    const char* calls;
    CipherSuiteMap high, medium;
    std::vector<std::string> log;  // normal-level lines after the banner
    bool highListingLeft, mediumListingLeft, flags;
  } cases[] = {
      {"both classes listed", kListings, 0, "HIGH\nMEDIUM\n", high, medium, {}, false, false, true},
      {"MEDIUM fails after HIGH was read", "[ \"$3\" = HIGH ] || exit 5\n" + std::string(kListings), -1,
       "HIGH\nMEDIUM\n", high, {}, {std::string("Run command (") + kMediumCommand + ") error: 1280"}, false,
       true, false},
  };
  for (const Case& c : cases) {
    auto dir = install("tls_log_level = normal\n");
    ASSERT_TRUE(dir->write("script/openssl", kScriptHead + c.script, 0755));
    ASSERT_TRUE(dir->makeDirs("bin"));
    g_high_cipher_suites.clear();
    g_medium_cipher_suites.clear();

    EXPECT_EQ(c.result, init()) << c.label;
    EXPECT_EQ(c.calls, keelgate_test::readFile(*dir / "calls")) << c.label;
    EXPECT_EQ(c.high, g_high_cipher_suites) << c.label;
    EXPECT_EQ(c.medium, g_medium_cipher_suites) << c.label;
    LogLines log = {kBanner};
    for (const std::string& l : c.log) log.push_back(normal(atHome(l, *dir)));
    EXPECT_EQ(log, fileLog(*dir)) << c.label;
    EXPECT_EQ(c.highListingLeft, dir->exists("bin/cipher_high")) << c.label;
    EXPECT_EQ(c.mediumListingLeft, dir->exists("bin/cipher_medium")) << c.label;
    EXPECT_EQ(c.flags, dir->exists("bin/keelgate.r19")) << c.label;
    keelgate_test::captureLog();
  }
}


}  // namespace
