#include "tests/postfix/postfix_gateway.h"

#include <stdio.h>
#include <stdlib.h>

namespace pftest {

void PostfixGateway::startGateway() {
  ASSERT_TRUE(postfix.ready());
  ASSERT_EQ(-1, home.start()) << "the keelgate pool did not start";
  ASSERT_TRUE(postfix.start()) << postfix.maillog();
}

void PostfixGateway::TearDown() {
  // KEELGATE_SHOW_MAILLOG=1 prints each test's Postfix log, e.g. to quote it.
  if (const char* show = getenv("KEELGATE_SHOW_MAILLOG"); show != nullptr && show[0] == '1')
    printf("---- Postfix log\n%s---- end of the Postfix log\n", postfix.maillog().c_str());
  for (const char* bad : {"fatal:", "panic:"})
    EXPECT_TRUE(postfix.maillogLines(bad).empty()) << postfix.maillog();
  if (!postfixWarningsExpected) {
    EXPECT_TRUE(postfix.maillogLines("warning:").empty()) << postfix.maillog();
  }
  for (const char* bad : {"fail to find key", "fail to write response action to socket"})
    EXPECT_EQ(0, home.countLog(bad)) << bad;
}

std::string PostfixGateway::decisionLine(const std::string& sender, const std::string& policy,
                                         const std::string& outcome) {
  return "normal Connected from [" + std::string(kClient) + "], sender is [" + sender +
         "], matched policy name is [" + policy + "], " + outcome;
}

}  // namespace pftest
