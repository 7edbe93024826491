#include "tests/postfix/smtp_session.h"

#include <sstream>

#include "tests/postfix/command.h"
#include "tests/postfix/postfix_instance.h"

namespace pftest {

const char kClient[] = "127.0.0.2";
const char kRecipient[] = "bob@keelgate.test";

namespace {

const int kSessionTimeoutMs = 30000;

}  // namespace

std::string SmtpSession::queueId() const {
  const std::string mark = "Ok: queued as ";
  size_t at = transcript.find(mark);
  if (at == std::string::npos) return "";
  at += mark.size();
  size_t end = transcript.find_first_of("\r\n ", at);
  return transcript.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

SmtpSession swaks(const std::string& sender, const std::vector<std::string>& options, const std::string& source) {
  std::vector<std::string> argv = {"swaks",
                                   "--server", "127.0.0.1",
                                   "--port", std::to_string(PostfixInstance::kPort),
                                   "--local-interface", source,
                                   "--helo", "client.partner.test",
                                   "--from", sender,
                                   "--to", kRecipient,
                                   "--timeout", "20"};
  argv.insert(argv.end(), options.begin(), options.end());
  CommandResult r = runCommand(argv, kSessionTimeoutMs);
  SmtpSession s;
  s.status = r.timedOut ? -1 : r.status;
  s.transcript = r.output;
  return s;
}

SmtpSession nullCipherSession(const std::string& sender) {
  // -quiet implies -ign_eof: the client keeps reading after its input has
  // ended, until Postfix closes the connection.
  std::vector<std::string> argv = {"openssl", "s_client",
                                   "-connect", "127.0.0.1:" + std::to_string(PostfixInstance::kPort),
                                   "-bind", std::string(kClient) + ":0",
                                   "-starttls", "smtp",
                                   "-tls1_2", "-cipher", "eNULL:@SECLEVEL=0",
                                   "-crlf", "-quiet"};
  CommandResult r = runCommand(argv, kSessionTimeoutMs,
                               "EHLO client.partner.test\nMAIL FROM:<" + sender + ">\nQUIT\n");
  SmtpSession s;
  s.status = r.timedOut ? -1 : r.status;
  s.transcript = r.output;
  return s;
}

std::vector<std::string> allowNullCiphers() {
  return {"tls_medium_cipherlist = aNULL:-aNULL:HIGH:MEDIUM:eNULL:@STRENGTH:@SECLEVEL=0"};
}

std::vector<std::string> headerValues(const std::string& message, const std::string& name) {
  std::vector<std::string> values;
  std::istringstream in(message);
  std::string line;
  const std::string prefix = name + ":";
  while (std::getline(in, line) && !line.empty()) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    size_t start = line.find_first_not_of(' ', prefix.size());
    values.push_back(start == std::string::npos ? "" : line.substr(start));
  }
  return values;
}

}  // namespace pftest
