#include "daemon/throttling_decision.h"

#include "daemon/globals.h"

namespace {

void logDebug(const char* text) { KELP::Log::LogByLevel(KELP::LOG_DEBUG, "%s", text); }

// Counts the observation on a child scanner and queues it for the local
// agent; the worker sends the request's lines once it has answered.
void sendObservation(SmtpConnLongTcpConnClient& client, RawConnTrafficItem& item) {
  if (!ismaster) smtpConnTrafficList.recordTrafficConn(item);
  client.queueTrafficLog(item, g_server_close);
}

void logSenderVerdict(int r, const std::string& sender, const std::string& ip) {
  const char* format;
  switch (r) {
    case 8: format = "sender [%s] from [%s] is blocked sender, but expired, pass it"; break;
    case 9: format = "sender [%s] from [%s] is approved sender, pass it"; break;
    case 7: format = "sender [%s] from [%s] is blocked sender, catch it"; break;
    default: format = "sender [%s] from [%s] is normal sender, pass it"; break;
  }
  KELP::Log::LogByLevel(KELP::LOG_DIAGNOSTIC, format, sender.c_str(), ip.c_str());
}

}  // namespace

int handleSmtpConnInConnect(std::string& ip, int kind) {
  int r = smtpConnConfig.getIPInfo(ip, kind);
  const char* format;
  switch (r) {
    case 1: format = "ip [%s] is incorrect IPv4, pass it"; break;
    case 2: format = "ip [%s] is IPv6, current SMTP traffic throttling can't support IPv6, pass it"; break;
    case 3: format = "ip [%s] is blocked ip, catch it"; break;
    case 4: format = "ip [%s] is blocked ip, but expired, pass it"; break;
    case 5: format = "ip [%s] is approved ip, pass it"; break;
    default: format = "ip [%s] is normal ip, pass it"; break;
  }
  KELP::Log::LogByLevel(KELP::LOG_DIAGNOSTIC, format, ip.c_str());
  return r;
}

int handleSmtpConn(SmtpConnLongTcpConnClient& client, std::string& protocolState, std::string& ip,
                   std::string& sender) {
  const bool connect = protocolState == "CONNECT";
  const bool mail = protocolState == "MAIL";
  const SmtpConnIPBaseRule& ipRule = SmtpConnConfig::smtpConnIPBaseRule;
  int ipState = 6;
  if (smtpConnConfig.enable) {
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "smtp connection protocol state is:%s", protocolState.c_str());
    if (smtpConnConfig.enable && connect) {
      logDebug("Enter IP rule block handle");
      if (handleSmtpConnInConnect(ip, 1) == 3) {
        smtpConnBlockedList.recordBlockedConn(ip, "", 1);
        return THROTTLING_IP_BLOCKED;
      }
      ipState = handleSmtpConnInConnect(ip, 3);
      if (ipState == 3) {
        smtpConnBlockedList.recordBlockedConn(ip, "", 1);
        return THROTTLING_IP_BLOCKED;
      }
    }
  }
  RawConnTrafficItem item;
  item.type = 1;
  item.scannerId = 1;
  const bool ipv4 = ip.find(':') == std::string::npos;
  if ((ipState == 6 || ipState == 4) && ipv4 && ipRule.ConnBaseIPConnEnable && connect) {
    logDebug("Enter connection traffic of IP rule handle");
    smtpConnTrafficList.createTrafficLog(ip, "", 1, scannerID, item);
    sendObservation(client, item);
  }
  if (smtpConnConfig.enable && mail) {
    logDebug("Enter sender rule block(for approved ip) handle");
    if (handleSmtpConnInConnect(ip, 1) == 5) {
      KELP::Log::LogByLevel(KELP::LOG_DEBUG, "current ip[%s] is approved ip,skip sender check", ip.c_str());
      return THROTTLING_IP_APPROVED;
    }
  }
  if (smtpConnConfig.enable && ipRule.ConnBaseIPMsgEnable && mail) {
    logDebug("Enter sender rule block handle(long connection)");
    if (handleSmtpConnInConnect(ip, 3) == 3) {
      KELP::Log::LogByLevel(KELP::LOG_DEBUG, "current ip[%s] is blocked ip(long connection)", ip.c_str());
      smtpConnBlockedList.recordBlockedConn(ip, "", 1);
      return THROTTLING_IP_BLOCKED;
    }
  }
  if (ipRule.ConnBaseIPMsgEnable && ipv4 && mail) {
    logDebug("Enter message traffic of IP rule handle");
    smtpConnTrafficList.createTrafficLog(ip, sender, 2, scannerID, item);
    sendObservation(client, item);
  }
  if (smtpConnConfig.enable && mail) {
    logDebug("Enter sender rule block handle");
    int r = smtpConnConfig.getSenderInfo(sender);
    logSenderVerdict(r, sender, ip);
    if (r == 7) {
      smtpConnBlockedList.recordBlockedConn(ip, sender, 2);
      return THROTTLING_SENDER_BLOCKED;
    }
    if (r != 10 && r != 8) return THROTTLING_PASS;
  }
  if (SmtpConnConfig::smtpConnSenderBaseRule.SenderBaseEnable && mail) {
    logDebug("Enter messgae traffic of sender rule handle");
    smtpConnTrafficList.createTrafficLog(ip, sender, 3, scannerID, item);
    sendObservation(client, item);
  }
  return THROTTLING_PASS;
}
