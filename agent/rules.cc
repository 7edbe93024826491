#include "agent/rules.h"

namespace agent {

const char* ruleLabel(Rule rule) {
  switch (rule) {
    case kIpConn: return "ip_conn";
    case kIpMsg: return "ip_msg";
    default: return "sender";
  }
}

Rule ruleOfLineType(int lineType) {
  if (lineType == 1) return kIpConn;
  if (lineType == 2) return kIpMsg;
  return kSender;
}

int blockTypeOf(Rule rule) {
  switch (rule) {
    case kIpConn: return 1;
    case kIpMsg: return 3;
    default: return 2;
  }
}

bool ruleOfBlockType(int blockType, Rule& rule) {
  switch (blockType) {
    case 1: rule = kIpConn; return true;
    case 3: rule = kIpMsg; return true;
    case 2: rule = kSender; return true;
    default: return false;
  }
}

RuleSet rulesFromSettings(const KELP::SmtpConnSettings& s) {
  RuleSet set;
  set.rule[kIpConn] = {s.enable && s.ipConnEnable, s.ipInterval, s.ipConnLimit, s.ipBlockTime};
  set.rule[kIpMsg] = {s.enable && s.ipMsgEnable, s.ipInterval, s.ipMsgLimit, s.ipBlockTime};
  set.rule[kSender] = {s.enable && s.senderEnable, s.senderInterval, s.senderMsgLimit, s.senderBlockTime};
  return set;
}

}  // namespace agent
