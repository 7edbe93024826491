#include "agent/block_set.h"

#include <stdlib.h>

#include "host/base/printable.h"

namespace agent {

bool BlockSet::blocks(Rule rule, const std::string& key, time_t now) const {
  const auto& map = byRule_[rule];
  if (map.empty()) return false;
  auto it = map.find(key);
  return it != map.end() && now < it->second.expiration;
}

void BlockSet::add(const Block& block) { byRule_[block.rule][block.key] = block; }

std::vector<Block> BlockSet::expire(time_t now) {
  std::vector<Block> gone;
  for (auto& map : byRule_) {
    for (auto it = map.begin(); it != map.end();) {
      if (it->second.expiration <= now) {
        gone.push_back(it->second);
        it = map.erase(it);
      } else {
        ++it;
      }
    }
  }
  return gone;
}

size_t BlockSet::size() const {
  size_t n = 0;
  for (const auto& map : byRule_) n += map.size();
  return n;
}

std::vector<Block> BlockSet::all() const {
  std::vector<Block> out;
  for (const auto& map : byRule_)
    for (const auto& entry : map) out.push_back(entry.second);
  return out;
}

std::string BlockSet::fileText() const {
  std::string text;
  for (const auto& map : byRule_) {
    for (const auto& entry : map) {
      const Block& b = entry.second;
      text += std::to_string(b.type());
      text += '\t';
      text += KELP::printable(b.ip(), "\t");
      text += '\t';
      text += KELP::printable(b.sender(), "\t");
      text += '\t';
      text += std::to_string(static_cast<long long>(b.expiration));
      text += '\n';
    }
  }
  return text;
}

namespace {

// Splits one line at TABs into exactly four fields.
bool splitFields(const std::string& line, std::string fields[4]) {
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t tab = line.find('\t', start);
    if ((tab == std::string::npos) != (i == 3)) return false;
    fields[i] = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
    start = tab + 1;
  }
  return true;
}

bool readLine(const std::string& line, Block& block) {
  std::string f[4];
  if (!splitFields(line, f) || f[0].size() != 1 || f[3].empty() || f[3].size() > 12) return false;
  if (!ruleOfBlockType(f[0][0] - '0', block.rule)) return false;
  for (char c : f[3])
    if (c < '0' || c > '9') return false;
  block.expiration = static_cast<time_t>(strtoll(f[3].c_str(), nullptr, 10));
  block.key = block.rule == kSender ? f[2] : f[1];
  const std::string& other = block.rule == kSender ? f[1] : f[2];
  return !block.key.empty() && other.empty();
}

}  // namespace

size_t BlockSet::readFileText(const std::string& text, time_t now) {
  size_t bad = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    Block block;
    if (!readLine(line, block)) {
      ++bad;
      continue;
    }
    block.start = now;  // the file keeps no start: the block is known from now
    if (now < block.expiration) add(block);
  }
  return bad;
}

}  // namespace agent
