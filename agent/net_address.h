// Addresses as the agent's settings write them and as it checks its peers:
// an IPv4 or IPv6 address, a CIDR block, and "host:port" ("[v6]:port").
// Pure functions over inet_pton; safe for any thread.
#ifndef KEELGATE_AGENT_NET_ADDRESS_H
#define KEELGATE_AGENT_NET_ADDRESS_H

#include <string>
#include <vector>

namespace agent {

struct IpAddress {
  bool v6 = false;
  unsigned char bytes[16] = {};  // 4 used for IPv4
  // An IPv4 address written as an IPv6 one (::ffff:a.b.c.d) turned back.
  IpAddress unmapped() const;
  bool loopback() const;
};

struct Cidr {
  IpAddress network;
  int prefix = 0;
  bool contains(const IpAddress& address) const;
};

bool parseIpAddress(const std::string& text, IpAddress& out);
// "a.b.c.d/n", "v6/n", or an address alone (a block of one).
bool parseCidr(const std::string& text, Cidr& out);
// "a.b.c.d:port" or "[v6]:port", port 1..65535.
bool parseHostPort(const std::string& text, std::string& host, int& port);
// Words separated by blanks.
std::vector<std::string> splitWords(const std::string& text);

// Who may send traffic lines: loopback, and the CIDR blocks of the children.
class PeerFilter {
 public:
  explicit PeerFilter(std::vector<Cidr> children = {}) : children_(std::move(children)) {}
  bool allows(const IpAddress& peer) const;

 private:
  std::vector<Cidr> children_;
};

}  // namespace agent

#endif
