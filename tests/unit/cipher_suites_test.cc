#include "daemon/cipher_suites.h"

#include <gtest/gtest.h>

#include <string>

#include "daemon/globals.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::debug;
using keelgate_test::LogLine;
using keelgate_test::LogLines;
using keelgate_test::normal;

class CipherSuitesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_high_cipher_suites.clear();
    g_medium_cipher_suites.clear();
    log_ = &keelgate_test::captureLog();
  }
  void TearDown() override {
    g_high_cipher_suites.clear();
    g_medium_cipher_suites.clear();
  }
  // Writes `text` as a listing and parses it.
  void parse(const std::string& text, int type) {
    ASSERT_TRUE(dir_.write("listing", text));
    extract_ciphers_map((dir_ / "listing").c_str(), type);
  }

  keelgate_test::TempDir dir_;
  keelgate_test::CaptureSink* log_ = nullptr;
};

LogLine current(const std::string& line) { return debug("Current line to process is [" + line + "]"); }
LogLine high(const char* name, const char* length) {
  return debug(std::string("Cipher suites type is [High], cipher is [") + name + "], length is [" + length + "]");
}
LogLine medium(const char* name, const char* length) {
  return debug(std::string("Cipher suites type is [Medium], cipher is [") + name + "], length is [" + length +
               "]");
}
TEST_F(CipherSuitesTest, EachLineIsCheckedOnItsOwn) {
  const LogLine nameFail = normal("extract cipher_name fail");
  const LogLine lengthFail = normal("extract cipher_length fail");
  const LogLine sslv2 = debug("should omit ciphers of SSLv2 for security");
  const char aes[] = "AES128-SHA TLSv1 Kx=RSA Au=RSA Enc=AES(128) Mac=SHA1";
  struct Case {
    const char* label;
    std::string text;
    int type;
    CipherSuiteMap high, medium;
    LogLines log;
  } cases[] = {
      {"empty file", "", CIPHER_SUITES_HIGH, {}, {}, {}},
      {"High line", std::string(aes) + "\n", CIPHER_SUITES_HIGH, {{"AES128-SHA", "128"}}, {},
       {current(aes), high("AES128-SHA", "128")}},
      {"Medium line", std::string(aes) + "\n", CIPHER_SUITES_MEDIUM, {}, {{"AES128-SHA", "128"}},
       {current(aes), medium("AES128-SHA", "128")}},
      {"last line without its line feed", aes, CIPHER_SUITES_MEDIUM, {}, {{"AES128-SHA", "128"}},
       {current(aes), medium("AES128-SHA", "128")}},
      {"empty line", "\n", CIPHER_SUITES_HIGH, {}, {}, {current(""), nameFail}},
      {"no parentheses: null cipher",
       "NULL-SHA TLSv1 Kx=RSA Au=RSA Enc=None Mac=SHA1\n", CIPHER_SUITES_HIGH, {}, {},
       {current("NULL-SHA TLSv1 Kx=RSA Au=RSA Enc=None Mac=SHA1"), lengthFail}},
      {"duplicate name keeps the later length",
       "DUP TLSv1.2 Enc=AES(128)\nDUP TLSv1.2 Enc=AES(256)\n", CIPHER_SUITES_HIGH, {{"DUP", "256"}}, {},
       {current("DUP TLSv1.2 Enc=AES(128)"), high("DUP", "128"), current("DUP TLSv1.2 Enc=AES(256)"),
        high("DUP", "256")}},
      {"SSLv2 line skipped",
       "RC4-MD5 SSLv2 Kx=RSA Au=RSA Enc=RC4(128) Mac=MD5\n", CIPHER_SUITES_MEDIUM, {}, {},
       {current("RC4-MD5 SSLv2 Kx=RSA Au=RSA Enc=RC4(128) Mac=MD5"), sslv2}},
      {"SSLv2 line without a blank is a name failure", "SSLv2-ONLY(40)\n", CIPHER_SUITES_HIGH, {}, {},
       {current("SSLv2-ONLY(40)"), nameFail}},
      {"tabs are not blanks", "TAB\tTLSv1.2\tEnc=AES(128)\n", CIPHER_SUITES_HIGH, {}, {},
       {current("TAB\tTLSv1.2\tEnc=AES(128)"), nameFail}},
      {"length from the first '(' to the first ')'",
       "GCM TLSv1.2 Enc=AESGCM(256) Mac=AEAD(x)\n", CIPHER_SUITES_HIGH, {{"GCM", "256"}}, {},
       {current("GCM TLSv1.2 Enc=AESGCM(256) Mac=AEAD(x)"), high("GCM", "256")}},
      {"')' before '(' gives an empty length", "ODD x) Enc=AES(128)\n", CIPHER_SUITES_HIGH, {{"ODD", ""}}, {},
       {current("ODD x) Enc=AES(128)"), high("ODD", "")}},
      {"carriage return stays in the line", "CR TLSv1.2 Enc=AES(128)\r\n", CIPHER_SUITES_HIGH,
       {{"CR", "128"}}, {}, {current("CR TLSv1.2 Enc=AES(128)\r"), high("CR", "128")}},
      {"bad lines skipped, good ones kept",
       "A TLSv1.2 Enc=AES(128)\n\nB TLSv1.2 Enc=None\nC TLSv1.2 Enc=AES(256)\n", CIPHER_SUITES_HIGH,
       {{"A", "128"}, {"C", "256"}}, {},
       {current("A TLSv1.2 Enc=AES(128)"), high("A", "128"), current(""), nameFail,
        current("B TLSv1.2 Enc=None"), lengthFail, current("C TLSv1.2 Enc=AES(256)"), high("C", "256")}},
      {"unknown type changes no table", std::string(aes) + "\n", 7, {}, {},
       {current(aes), normal("no such cipher suites type, cipher is [AES128-SHA], length is [128]")}},
  };
  for (const Case& c : cases) {
    g_high_cipher_suites.clear();
    g_medium_cipher_suites.clear();
    log_->clear();
    parse(c.text, c.type);
    EXPECT_EQ(c.high, g_high_cipher_suites) << c.label;
    EXPECT_EQ(c.medium, g_medium_cipher_suites) << c.label;
    EXPECT_EQ(c.log, log_->lines()) << c.label;
  }
}

TEST_F(CipherSuitesTest, ParsingAddsToWhatTheTableHolds) {
  g_high_cipher_suites = {{"OLD", "56"}, {"KEEP", "1"}};
  parse("KEEP TLSv1.2 Enc=AES(128)\nNEW TLSv1.2 Enc=AES(256)\n", CIPHER_SUITES_HIGH);
  EXPECT_EQ((CipherSuiteMap{{"OLD", "56"}, {"KEEP", "128"}, {"NEW", "256"}}), g_high_cipher_suites);
}

TEST_F(CipherSuitesTest, MissingFileIsLoggedWithItsError) {
  std::string path = dir_ / "no-such-listing";
  extract_ciphers_map(path.c_str(), CIPHER_SUITES_HIGH);
  EXPECT_EQ(LogLines{normal("Failed to open cipher list file [" + path + "], error: No such file or directory")},
            log_->lines());
  EXPECT_TRUE(g_high_cipher_suites.empty());
}

}  // namespace
