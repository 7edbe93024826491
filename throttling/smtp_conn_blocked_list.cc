// The list half of SmtpConnBlockedList: settings, deadline and the folding of
// blocks into items. The CSV half is in smtp_conn_blocked_log.cc.
#include "throttling/smtp_conn_blocked_list.h"

#include <limits.h>
#include <stdio.h>

#include <utility>

#include "host/base/clock.h"
#include "host/log/log.h"

using KELP::Log;

namespace {
const int kDefaultIntervalSeconds = 300;
}  // namespace

SmtpConnBlockedList::SmtpConnBlockedList()
    : recordDeadline(0), logRotateSize(0), recordInterval(0) {}

SmtpConnBlockedList::SmtpConnBlockedList(int recordInterval, std::string logPath,
                                         std::string logPrefix, int logRotateSize,
                                         std::string ldfFile, std::string logLevel)
    : recordDeadline(0),
      logPath(std::move(logPath)),
      logPrefix(std::move(logPrefix)),
      logRotateSize(logRotateSize),
      ldfFile(std::move(ldfFile)),
      logLevel(std::move(logLevel)),
      recordInterval(recordInterval) {
  Log::LogByLevel(KELP::LOG_DEBUG,
                  "SMTP Traffic Throttling blocked log configuration:record log interval[%d], "
                  "path[%s], prefix[%s], rotatesize[%d], ldf file[%s], log level[%s]",
                  this->recordInterval, this->logPath.c_str(), this->logPrefix.c_str(),
                  this->logRotateSize, this->ldfFile.c_str(), this->logLevel.c_str());
  initLog(false);
}

int SmtpConnBlockedList::init(int recordInterval, std::string logPath, std::string logPrefix,
                              int logRotateSize, std::string ldfFile, std::string logLevel) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    this->recordInterval = recordInterval;
    this->logPath = std::move(logPath);
    this->logPrefix = std::move(logPrefix);
    this->logRotateSize = logRotateSize;
    this->ldfFile = std::move(ldfFile);
    this->logLevel = std::move(logLevel);
  }
  return initLog(false);
}

int SmtpConnBlockedList::initLog(bool reinit) {
  KELP::KELPLogLevel level;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    level = KELP::levelFromWord(logLevel);
  }
  if (reinit)
    Log::Reinit(nullptr, level);
  else
    Log::Init(nullptr, level);
  Log::LogByLevel(KELP::LOG_NORMAL, "--- SMTP Traffic Throttling Blocked Log --- ");
  return 0;
}

bool SmtpConnBlockedList::hasTimeout() {
  std::lock_guard<std::mutex> lock(mutex_);
  return KELP::Clock::now() >= recordDeadline;
}

void SmtpConnBlockedList::resetTimeout() {
  std::lock_guard<std::mutex> lock(mutex_);
  long long interval = recordInterval == 0 ? kDefaultIntervalSeconds : recordInterval;
  long long deadline = static_cast<long long>(KELP::Clock::now()) + interval;
  // Deadlines are 32-bit seconds: saturate rather than wrap into the past.
  if (deadline > INT_MAX) deadline = INT_MAX;
  if (deadline < INT_MIN) deadline = INT_MIN;
  recordDeadline = static_cast<int>(deadline);
}

size_t SmtpConnBlockedList::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blockedItems.size();
}

void SmtpConnBlockedList::recordBlockedConn(std::string ip, std::string sender, int type) {
  ConnBlockedItem item;
  if (!item.setTime(KELP::Clock::now()))
    Log::LogByLevel(KELP::LOG_DEBUG, "gmtime() returns NULL.");
  item.szIP = std::move(ip);
  item.szSender = std::move(sender);
  item.iType = type;
  if (Log::enabled(KELP::LOG_DEBUG)) {
    char text[4096];
    snprintf(text, sizeof text, "received blocked log of SMTP Traffic Throttling:[%s,%s,%s,%d]",
             item.szTimez, item.szIP.c_str(), item.szSender.c_str(), item.iType);
    Log::LogByLevel(KELP::LOG_DEBUG, "%s", text);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = blockedItems.find(item);
  if (it != blockedItems.end()) {
    if (it->second < INT_MAX) ++it->second;  // the stored item keeps its first time and first IP
    return;
  }
  if (!cap_.admits(blockedItems.size())) return;
  Log::LogByLevel(KELP::LOG_DEBUG, "new blocked item:[%s/%s]", item.szIP.c_str(), item.szSender.c_str());
  blockedItems.emplace(std::move(item), 1);
}

void SmtpConnBlockedList::setMaxItems(size_t items) {
  std::lock_guard<std::mutex> lock(mutex_);
  cap_.setMax(items);
}

size_t SmtpConnBlockedList::maxItems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cap_.max();
}

unsigned long long SmtpConnBlockedList::takeDroppedItems() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cap_.takeDropped();
}

void SmtpConnBlockedList::putBack(ItemMap& unwritten) {
  if (unwritten.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : unwritten) {
    auto it = blockedItems.find(entry.first);
    if (it == blockedItems.end()) {
      blockedItems.emplace(entry.first, entry.second);  // may pass the cap by what was taken out
      continue;
    }
    // The unwritten item is the older one: its time and IP stand, the counts add up.
    long long sum = static_cast<long long>(it->second) + entry.second;
    int count = sum > INT_MAX ? INT_MAX : static_cast<int>(sum);
    blockedItems.erase(it);
    blockedItems.emplace(entry.first, count);
  }
}
