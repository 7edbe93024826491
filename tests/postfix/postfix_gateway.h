// Fixture of the Postfix end-to-end tests: the real keelgate pool (the e2e
// harness's Installation) and a real Postfix that consults it, both in the
// test's network namespace. The pool is started first: the harness counts the
// processes it reaps while the pool starts, and Postfix's must not be among
// them. Postfix is declared last, so it is stopped first and the harness then
// finds no other descendant to wait for.
//
// At the end of every test the logs must hold no sign of a broken exchange
// between the two: no Postfix fatal error or panic, no Postfix warning unless
// the test expects some, and no keelgate line about a missing attribute or a
// failed write of an answer.
#ifndef KEELGATE_TESTS_POSTFIX_POSTFIX_GATEWAY_H
#define KEELGATE_TESTS_POSTFIX_POSTFIX_GATEWAY_H

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/daemon_harness.h"
#include "tests/postfix/postfix_instance.h"
#include "tests/postfix/smtp_session.h"

namespace pftest {

class PostfixGateway : public testing::Test {
 protected:
  // Starts the pool, then Postfix; fails the test when either does not come up.
  void startGateway();
  void TearDown() override;

  // The keelgate log line of a TLS decision for kClient.
  static std::string decisionLine(const std::string& sender, const std::string& policy,
                                  const std::string& outcome);

  bool postfixWarningsExpected = false;
  e2e::Installation home;
  PostfixInstance postfix;
};

}  // namespace pftest

#endif
