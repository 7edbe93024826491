// Throttling on real SMTP sessions: a blocked client address refused at
// CONNECT, in place of the greeting; a blocked sender, or one of a blocked
// domain, refused at MAIL with the configured text; a neighbour let through;
// and 127.0.0.1 let through unchecked and unmarked, listed or not.
#include <gtest/gtest.h>

#include "tests/postfix/postfix_gateway.h"

namespace pftest {
namespace {

class ThrottlingSessions : public PostfixGateway {};

TEST_F(ThrottlingSessions, BlockedClientAtConnectAndBlockedSenderAtMail) {
  home.write("config/throttling/blocked_ip", "127.0.0.3\n127.0.0.1\n");
  home.write("config/throttling/blocked_sender", "spam@bad.example\n@blocked.example\n");
  home.setKelpIni("smtp_traffic_throttling", "sender_blocked_action",
                  "action=450 4.7.1 Sender held back by the gateway, try again later");
  startGateway();
  const std::string heldBack = ">: Sender address rejected: Sender held back by the gateway, try again later";
  const struct { const char* source; std::string sender, reply; std::vector<std::string> usage; } sessions[] = {
      {"127.0.0.3", "a@may.example",
       "<** 421 4.7.0 <unknown[127.0.0.3]>: Client host rejected: Too much traffic from your IP address, try again "
       "later", {}},
      {kClient, "Spam@Bad.example", "<** 450 4.7.1 <Spam@Bad.example" + heldBack, {}},
      {kClient, "anyone@blocked.example", "<** 450 4.7.1 <anyone@blocked.example" + heldBack, {}},
      {kClient, "friend@bad.example", "", {"Unused"}},
      {"127.0.0.1", "spam@bad.example", "", {}},
  };
  for (const auto& s : sessions) {
    Session session = swaks(s.sender, "", s.source);
    if (!s.reply.empty()) {
      EXPECT_TRUE(session.saw(s.reply) && session.queueId().empty()) << session.transcript;
      continue;
    }
    EXPECT_EQ(s.usage, usageHeaders(session)) << s.source << " " << s.sender << "\n" << session.transcript;
  }
  EXPECT_EQ(2, home.countLog("Localhost connect, no verification, response action is OK"));
}

}  // namespace
}  // namespace pftest
