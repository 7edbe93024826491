// The attributes of one policy request, as the MTA sends them: "name=value"
// lines ended by "\n". Parsing is plain text work on one read's bytes.
#ifndef KEELGATE_DAEMON_POLICY_REQUEST_H
#define KEELGATE_DAEMON_POLICY_REQUEST_H

#include <string>

struct PolicyRequest {
  std::string protocolState;  // empty when the request lacks it
  std::string clientAddress;
  std::string reverseClientName;
  std::string sender;
  std::string senderDomain;  // after the first "@" of sender, or all of it
  std::string ccertSubject;
  std::string encryptionCipher;
  std::string encryptionKeysize;
};

// Finds the first "<key>=" anywhere in `request` (case-sensitive, not anchored
// at a line start) and stores the text up to the next "\n" in `value`.
// Returns the position of that "\n", or std::string::npos (value unchanged)
// when the key or the line end is missing.
size_t getValueBykey(const std::string& request, const std::string& key, std::string& value);

// The part of a sender after its first "@"; the whole sender without "@".
std::string senderDomainOf(const std::string& sender);

// Reads the attributes in the worker's order. Returns false, after logging
// "fail to find key [...]", when a required attribute is missing; a missing
// protocol_state is only logged.
bool parsePolicyRequest(const std::string& text, PolicyRequest& request);

#endif
