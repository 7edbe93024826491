// The attributes of one policy request. The MTA sends "name=value" lines,
// each ended by "\n", and an empty line after the last one. The request is
// read once, line by line: an attribute is found only where its exact name
// stands at the start of a line, so a value chosen by the SMTP client (an
// EHLO name, a sender) can never stand in for another attribute.
#ifndef KEELGATE_DAEMON_POLICY_REQUEST_H
#define KEELGATE_DAEMON_POLICY_REQUEST_H

#include <string>

struct PolicyRequest {
  std::string protocolState;  // empty when the request lacks it
  std::string clientAddress;
  std::string reverseClientName;
  std::string sender;
  std::string senderDomain;  // see senderDomain() in host/base/sender_address.h
  std::string ccertSubject;
  std::string encryptionCipher;
  std::string encryptionKeysize;
};

// Clears `request`, then reads the lines of `text` up to the empty line that
// ends the request (or the end of the text). A value runs to its line feed
// and keeps a carriage return before it; a last line without a line feed (a request cut by the
// read) is not read. Lines without "=" and attributes keelgate does not use
// are skipped. Returns false, after logging the attribute's name, when a
// required attribute is missing or an attribute keelgate uses appears twice;
// a missing protocol_state is only logged.
bool parsePolicyRequest(const std::string& text, PolicyRequest& request);

#endif
