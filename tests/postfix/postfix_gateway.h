// Fixture of the Postfix end-to-end tests: the real keelgate pool (the e2e
// harness's Installation) and a real Postfix that consults it, both in the
// test's network namespace. Postfix is laid down by postfix-instance.sh in a
// directory of its own, listens on 127.0.0.1:2525, asks the pool at CONNECT
// and at MAIL, and delivers into a maildir the test reads. Clients are swaks
// and, for a cipher swaks will not use, openssl s_client, each bound to a
// source address other than 127.0.0.1 (which keelgate always lets through).
//
// At the end of every test the logs must hold no sign of a broken exchange
// between the two: no Postfix fatal error or panic, no Postfix warning unless
// the test expects some, and no keelgate line about a missing attribute or a
// failed write of an answer.
#ifndef KEELGATE_TESTS_POSTFIX_POSTFIX_GATEWAY_H
#define KEELGATE_TESTS_POSTFIX_POSTFIX_GATEWAY_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>

#include "tests/e2e/daemon_harness.h"

namespace pftest {

constexpr char kClient[] = "127.0.0.2";

// What an SMTP client printed (every line it sent and received).
struct Session {
  std::string transcript;
  bool saw(const std::string& text) const { return transcript.find(text) != std::string::npos; }
  // The id in "250 2.0.0 Ok: queued as ID", or "" when nothing was queued.
  std::string queueId() const;
};

class PostfixGateway : public testing::Test {
 protected:
  PostfixGateway();            // Postfix laid down, not started
  ~PostfixGateway() override;  // Postfix stopped and removed, then the pool stopped
  void TearDown() override;    // the checks of the logs

  // postconf -e "name = value", before the start.
  void setPostfix(const std::string& setting) const;
  // Starts the pool, then Postfix; fails the test when either does not come up.
  void startGateway();
  // One message from `sender` with swaks `options` from client address `source`.
  Session swaks(const std::string& sender, const std::string& options = "", const char* source = kClient) const;
  // STARTTLS over TLS 1.2 with a NULL cipher (none of the High or Medium
  // class), EHLO, MAIL FROM:<sender> and QUIT.
  Session nullCipherSession(const std::string& sender) const;
  // The X-KELP-TLS-USAGE values of the message the session queued once it is
  // delivered ("<not delivered>" when it is not within 10 s).
  std::vector<std::string> usageHeaders(const Session& s) const;
  std::string maillog() const;

  bool postfixWarningsExpected = false;
  e2e::Installation home;
  std::string dir;  // Postfix's

 private:
  bool ready_ = false;  // laid down
  pid_t master_ = -1;
};

}  // namespace pftest

#endif
