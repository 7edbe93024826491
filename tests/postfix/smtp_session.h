// SMTP sessions against the test's Postfix, as a client on the far side of
// the gateway sees them: swaks for plain and STARTTLS sessions (it binds a
// source address other than 127.0.0.1, which keelgate always lets through),
// openssl s_client for a session on a cipher swaks refuses to use.
#ifndef KEELGATE_TESTS_POSTFIX_SMTP_SESSION_H
#define KEELGATE_TESTS_POSTFIX_SMTP_SESSION_H

#include <string>
#include <vector>

namespace pftest {

// The client's address in every session unless a test names another.
extern const char kClient[];
// Every message goes to this recipient of the maildir.
extern const char kRecipient[];

struct SmtpSession {
  int status = -1;
  std::string transcript;  // what the client printed: every line it sent and received

  bool saw(const std::string& text) const { return transcript.find(text) != std::string::npos; }
  // The id in "250 2.0.0 Ok: queued as ID", or empty when nothing was queued.
  std::string queueId() const;
};

// One message from `sender` to kRecipient; `options` are added to swaks's
// command line (e.g. {"--tls", "--tls-protocol", "tlsv1_2"}).
SmtpSession swaks(const std::string& sender, const std::vector<std::string>& options = {},
                  const std::string& source = kClient);

// STARTTLS over TLS 1.2 with the NULL ciphers only (no encryption, outside
// both the High and the Medium class), then EHLO, MAIL FROM:<sender> and QUIT.
// The Postfix of the test must allow the NULL ciphers (see allowNullCiphers).
SmtpSession nullCipherSession(const std::string& sender);
// Postfix settings that let the server accept the NULL ciphers.
std::vector<std::string> allowNullCiphers();

// The value of every `name:` header line of a delivered message.
std::vector<std::string> headerValues(const std::string& message, const std::string& name);

}  // namespace pftest

#endif
