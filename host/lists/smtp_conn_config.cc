#include "host/lists/smtp_conn_config.h"

#include <errno.h>
#include <string.h>

#include <unordered_map>

#include "host/lists/agent_block_file.h"
#include "host/lists/auto_block_store.h"
#include "host/base/clock.h"
#include "host/config/config_file_on_disk.h"
#include "host/config/install_dir.h"
#include "host/log/log.h"
#include "host/db/odbc_data_source.h"
#include "host/lists/list_image.h"
#include "host/lists/list_image_builder.h"
#include "host/lists/list_image_store.h"
#include "host/lists/throttling_lists.h"

using KELP::blockHolds;
using KELP::Log;

SmtpConnIPBaseRule SmtpConnConfig::smtpConnIPBaseRule;
SmtpConnSenderBaseRule SmtpConnConfig::smtpConnSenderBaseRule;

SmtpConnIPBaseRule& SmtpConnIPBaseRule::operator=(const SmtpConnIPBaseRule& other) {
  interval.store(other.interval.load());
  connLimit.store(other.connLimit.load());
  msgLimit.store(other.msgLimit.load());
  blockTime.store(other.blockTime.load());
  ConnBaseIPConnEnable.store(other.ConnBaseIPConnEnable.load());
  ConnBaseIPMsgEnable.store(other.ConnBaseIPMsgEnable.load());
  return *this;
}

SmtpConnSenderBaseRule& SmtpConnSenderBaseRule::operator=(const SmtpConnSenderBaseRule& other) {
  interval.store(other.interval.load());
  msgLimit.store(other.msgLimit.load());
  blockTime.store(other.blockTime.load());
  SenderBaseEnable.store(other.SenderBaseEnable.load());
  return *this;
}

// Automatic blocks by exact address and by sender (lower case, "" for <>);
// an address or sender blocked twice keeps the later expiration.
struct SmtpConnConfig::AutoBlockTable {
  std::unordered_map<uint32_t, long long> ips;
  std::unordered_map<std::string, long long> senders;
};

namespace {

enum class Verdict { kNone, kHolds, kExpired };

Verdict verdictOf(const long long* expiration, long long now) {
  if (expiration == nullptr) return Verdict::kNone;
  return blockHolds(*expiration, now) ? Verdict::kHolds : Verdict::kExpired;
}

template <typename Key>
const long long* findIn(const std::unordered_map<Key, long long>& map, const Key& key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

template <typename Key>
void keepLater(std::unordered_map<Key, long long>& map, const Key& key, long long expiration) {
  auto inserted = map.emplace(key, expiration);
  if (!inserted.second && inserted.first->second < expiration) inserted.first->second = expiration;
}

// The null sender is looked up as "".
std::string senderKey(const std::string& sender) {
  return sender == "<>" ? std::string() : KELP::lowerAscii(sender);
}

// The answer when the list gave `list` and the automatic blocks `automatic`:
// a block that holds anywhere wins, then an expired one.
int combine(Verdict list, Verdict automatic, int holds, int expired, int none) {
  if (list == Verdict::kHolds || automatic == Verdict::kHolds) return holds;
  if (list == Verdict::kExpired || automatic == Verdict::kExpired) return expired;
  return none;
}

std::shared_ptr<const KELP::ListImage> emptyLists() {
  std::string problem;
  return KELP::ListImage::fromBytes(KELP::ListImageBuilder().build(0), problem);
}

}  // namespace

SmtpConnConfig::SmtpConnConfig(const std::string& home)
    : logLevel("normal"), home_(KELP::installDir(home)),
      lists_(emptyLists()),
      autoBlocks_(std::make_shared<AutoBlockTable>()) {}

SmtpConnConfig::~SmtpConnConfig() {}

bool SmtpConnConfig::init() {
  std::string iniPath = home_ + "/config/kelp.ini";
  KELP::ConfigFileOnDisk ini(iniPath.c_str());
  auto settings = std::make_shared<KELP::SmtpConnSettings>();
  bool ok = ini.loaded;
  if (!ok) {
    Log::LogByLevel(KELP::LOG_NORMAL, "SMTP Traffic Throttling config [%s]: cannot read it (%s)",
                    iniPath.c_str(), strerror(ini.readError()));
  } else {
    ini.logProblems();
    ok = KELP::readSmtpConnSettings(ini, home_, *settings) && ini.problems().empty();
  }
  if (!ok) return false;  // what is in force stays in force
  std::shared_ptr<const KELP::ListImage> current;
  {
    std::lock_guard<std::mutex> lock(mu_);
    current = lists_;
  }
  KELP::ListImageStore store(home_ + "/config/throttling", home_ + "/bin");
  publish(settings, store.load(current));
  loadAutoBlocks();
  return true;
}

// The blocks of the agent's file are read afresh at every load; those of the
// database stay from the last load that could read them.
void SmtpConnConfig::loadAutoBlocks() {
  if (KELP::databaseConfigured(home_)) {
    std::vector<AutoBlock> rows;
    if (KELP::loadAutoBlocks(home_, rows))
      databaseBlocks_ = rows;
    else
      Log::LogByLevel(KELP::LOG_NORMAL,
                      "automatic blocks: cannot read them from the database, keeping the %zu of the last load",
                      databaseBlocks_.size());
  } else {
    databaseBlocks_.clear();
  }
  std::vector<AutoBlock> blocks = databaseBlocks_;
  KELP::readAgentBlockFile(home_, blocks);
  setAutoBlocks(blocks);
}

// Swaps the snapshots in, then writes each public member once: the strings
// and ints for the accepting thread, the atomics for every thread, `enable`
// last.
void SmtpConnConfig::publish(const std::shared_ptr<const KELP::SmtpConnSettings>& settings,
                             const std::shared_ptr<const KELP::ListImage>& lists) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    settings_ = settings;
    lists_ = lists;
  }
  const KELP::SmtpConnSettings& s = *settings;
  blockedLogPath = s.blockedLogPath;
  blockedLogPrefix = s.blockedLogPrefix;
  blockedLogRotateSize = s.blockedLogRotateSize;
  trafficLogPath = s.trafficLogPath;
  trafficLogPrefix = s.trafficLogPrefix;
  trafficLogRotateSize = s.trafficLogRotateSize;
  blockedLogInterval = s.blockedLogInterval;
  ldfFile = s.ldfFile;
  logLevel = s.logLevel;
  ipBlockedAction = s.ipBlockedAction;
  senderBlockedAction = s.senderBlockedAction;
  maxTrafficKeys = s.maxTrafficKeys;
  maxBlockedItems = s.maxBlockedItems;

  SmtpConnIPBaseRule& ip = smtpConnIPBaseRule;
  ip.interval.store(s.ipInterval);
  ip.connLimit.store(s.ipConnLimit);
  ip.msgLimit.store(s.ipMsgLimit);
  ip.blockTime.store(s.ipBlockTime);
  ip.ConnBaseIPConnEnable.store(s.ipConnEnable);
  ip.ConnBaseIPMsgEnable.store(s.ipMsgEnable);
  SmtpConnSenderBaseRule& sender = smtpConnSenderBaseRule;
  sender.interval.store(s.senderInterval);
  sender.msgLimit.store(s.senderMsgLimit);
  sender.blockTime.store(s.senderBlockTime);
  sender.SenderBaseEnable.store(s.senderEnable);
  enable.store(s.enable);
}

void SmtpConnConfig::setAutoBlocks(const std::vector<AutoBlock>& blocks) {
  auto table = std::make_shared<AutoBlockTable>();
  for (const AutoBlock& block : blocks) {
    uint32_t addr;
    if ((block.type == 1 || block.type == 3) && KELP::parseIPv4(block.ip, addr))
      keepLater(table->ips, addr, block.expiration);
    else if (block.type == 2)
      keepLater(table->senders, senderKey(block.sender), block.expiration);
  }
  std::lock_guard<std::mutex> lock(mu_);
  autoBlocks_ = table;
}

std::shared_ptr<const KELP::SmtpConnSettings> SmtpConnConfig::settings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_;
}

int SmtpConnConfig::getIPInfo(std::string& ip, int kind) {
  if (ip.find(':') != std::string::npos) return 2;
  uint32_t addr;
  if (!KELP::parseIPv4(ip, addr)) return 1;
  std::shared_ptr<const KELP::ListImage> lists;
  std::shared_ptr<const AutoBlockTable> autoBlocks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    lists = lists_;
    autoBlocks = autoBlocks_;
  }
  lists->prefetchIp(addr);
  if (lists->ipMatch(KELP::ListSide::kApproved, addr) != nullptr) return 5;
  long long now = KELP::Clock::now();
  Verdict list = verdictOf(lists->ipMatch(KELP::ListSide::kBlocked, addr), now);
  Verdict automatic = kind == 3 ? verdictOf(findIn(autoBlocks->ips, addr), now) : Verdict::kNone;
  return combine(list, automatic, 3, 4, 6);
}

int SmtpConnConfig::getSenderInfo(std::string& sender) {
  std::shared_ptr<const KELP::ListImage> lists;
  std::shared_ptr<const AutoBlockTable> autoBlocks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    lists = lists_;
    autoBlocks = autoBlocks_;
  }
  KELP::ListImage::SenderKey key = lists->prepareSender(sender);
  if (lists->senderMatch(KELP::ListSide::kApproved, key) != nullptr) return 9;
  long long now = KELP::Clock::now();
  Verdict list = verdictOf(lists->senderMatch(KELP::ListSide::kBlocked, key), now);
  Verdict automatic =
      autoBlocks->senders.empty() ? Verdict::kNone : verdictOf(findIn(autoBlocks->senders, senderKey(sender)), now);
  return combine(list, automatic, 7, 8, 10);
}
