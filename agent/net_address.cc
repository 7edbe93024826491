#include "agent/net_address.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

namespace agent {

IpAddress IpAddress::unmapped() const {
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!v6 || memcmp(bytes, kMapped, sizeof kMapped) != 0) return *this;
  IpAddress v4;
  memcpy(v4.bytes, bytes + 12, 4);
  return v4;
}

bool IpAddress::loopback() const {
  IpAddress a = unmapped();
  if (!a.v6) return a.bytes[0] == 127;
  static const unsigned char kOne[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return memcmp(a.bytes, kOne, 16) == 0;
}

bool parseIpAddress(const std::string& text, IpAddress& out) {
  IpAddress a;
  if (inet_pton(AF_INET, text.c_str(), a.bytes) == 1) {
    out = a;
    return true;
  }
  a.v6 = true;
  if (inet_pton(AF_INET6, text.c_str(), a.bytes) != 1) return false;
  out = a;
  return true;
}

bool Cidr::contains(const IpAddress& address) const {
  IpAddress a = address.unmapped();
  if (a.v6 != network.v6) return false;
  int whole = prefix / 8, rest = prefix % 8;
  if (memcmp(a.bytes, network.bytes, static_cast<size_t>(whole)) != 0) return false;
  if (rest == 0) return true;
  unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
  return (a.bytes[whole] & mask) == (network.bytes[whole] & mask);
}

bool parseCidr(const std::string& text, Cidr& out) {
  size_t slash = text.find('/');
  Cidr c;
  if (!parseIpAddress(text.substr(0, slash), c.network)) return false;
  const int max = c.network.v6 ? 128 : 32;
  c.prefix = max;
  if (slash != std::string::npos) {
    std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos) return false;
    c.prefix = atoi(bits.c_str());
    if (c.prefix > max) return false;
  }
  out = c;
  return true;
}

bool parseHostPort(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string h = text.substr(0, colon), p = text.substr(colon + 1);
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  IpAddress ignored;
  if (!parseIpAddress(h, ignored)) return false;
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  int n = atoi(p.c_str());
  if (n < 1 || n > 65535) return false;
  host = h;
  port = n;
  return true;
}

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  while ((start = text.find_first_not_of(" \t", start)) != std::string::npos) {
    size_t end = text.find_first_of(" \t", start);
    words.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end;
  }
  return words;
}

bool PeerFilter::allows(const IpAddress& peer) const {
  if (peer.loopback()) return true;
  for (const Cidr& c : children_)
    if (c.contains(peer)) return true;
  return false;
}

}  // namespace agent
