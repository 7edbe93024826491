#include "throttling/smtp_conn_traffic_list.h"

#include <limits.h>
#include <stdio.h>
#include <time.h>

#include "host/base/clock.h"
#include "host/log/log_level.h"

namespace {

// now + interval (300 s for 0), kept within a signed 32-bit time.
int deadlineAfter(int interval) {
  long long due = static_cast<long long>(KELP::Clock::now()) + (interval == 0 ? 300 : interval);
  if (due > INT_MAX) return INT_MAX;
  if (due < INT_MIN) return INT_MIN;
  return static_cast<int>(due);
}

}  // namespace

SmtpConnTrafficList::SmtpConnTrafficList() {}

SmtpConnTrafficList::SmtpConnTrafficList(int ipBaseSendInterval, int senderBaseSendInterval,
                                         std::string logPath, std::string logPrefix,
                                         int logRotateSize, std::string ldfFile,
                                         std::string logLevel) {
  storeSettings(ipBaseSendInterval, senderBaseSendInterval, logPath, logPrefix, logRotateSize,
                ldfFile, logLevel);
  KELP::Log::LogByLevel(
      KELP::LOG_DEBUG,
      "SMTP Traffic Throttling traffic log configuration: log ip base send interval[%d],log "
      "sender base send interval[%d], path[%s], prefix[%s], rotatesize[%d], ldf file[%s], log "
      "level[%s]",
      ipBaseSendInterval_, senderBaseSendInterval_, logPath_.c_str(), logPrefix_.c_str(),
      logRotateSize_, ldfFile_.c_str(), logLevel_.c_str());
  try {
    initLog(false);
  } catch (...) {
    // A log that cannot be set up must not make the list unusable.
  }
}

void SmtpConnTrafficList::storeSettings(int ipBaseSendInterval, int senderBaseSendInterval,
                                        std::string logPath, std::string logPrefix,
                                        int logRotateSize, std::string ldfFile,
                                        std::string logLevel) {
  ipBaseSendInterval_ = ipBaseSendInterval;
  senderBaseSendInterval_ = senderBaseSendInterval;
  logPath_ = logPath;
  logPrefix_ = logPrefix;
  logRotateSize_ = logRotateSize;
  ldfFile_ = ldfFile;
  logLevel_ = logLevel;
}

int SmtpConnTrafficList::init(int ipBaseSendInterval, int senderBaseSendInterval,
                              std::string logPath, std::string logPrefix, int logRotateSize,
                              std::string ldfFile, std::string logLevel) {
  storeSettings(ipBaseSendInterval, senderBaseSendInterval, logPath, logPrefix, logRotateSize,
                ldfFile, logLevel);
  KELP::Log::LogByLevel(KELP::LOG_DEBUG,
                        "Dump SMTP Traffic Throttling Traffic configuration: IP base send "
                        "interval[%d], Sender base send interval[%d]",
                        ipBaseSendInterval_, senderBaseSendInterval_);
  initDBConfig();
  return initLog(false);
}

int SmtpConnTrafficList::initLog(bool reinit) {
  KELP::KELPLogLevel threshold = KELP::levelFromWord(logLevel_);
  if (reinit)
    KELP::Log::Reinit(logMsg_, threshold);
  else
    KELP::Log::Init(logMsg_, threshold);
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "--- SMTP Traffic Throttling Traffic Log list --- ");
  return 0;
}

void SmtpConnTrafficList::createTrafficLog(const std::string& ip, const std::string& sender, int type,
                                           int scannerId, RawConnTrafficItem& item) {
  time_t now = KELP::Clock::now();
  item.timeStamp = static_cast<int32_t>(now);
  item.ip = ip;
  item.sender = sender;
  item.type = type;
  item.scannerId = scannerId;
  // The time text is for the debug line only: not formatted otherwise (this
  // runs for every counted connection and message).
  if (!KELP::Log::enabled(KELP::LOG_DEBUG)) return;
  char when[64] = "";
  struct tm local;
  if (localtime_r(&now, &local) == nullptr)
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "localtime() returns NULL.");
  else
    strftime(when, sizeof when, "%b %d %Y %X", &local);
  char text[4096];
  snprintf(text, sizeof text, "received traffic log of SMTP Traffic Throttling:[%s,%s,%s,%d,%d]",
           when, ip.c_str(), sender.c_str(), type, scannerId);
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "%s", text);
}

SmtpConnTrafficList::RawTrafficMap* SmtpConnTrafficList::rawMapOf(int type) {
  if (type == kTrafficIPConn) return &rawIPBaseConn_;
  if (type == kTrafficIPMsg) return &rawIPBaseMsg_;
  if (type == kTrafficSenderMsg) return &rawSenderBase_;
  return nullptr;
}

const SmtpConnTrafficList::RawTrafficMap* SmtpConnTrafficList::rawMapOf(int type) const {
  return const_cast<SmtpConnTrafficList*>(this)->rawMapOf(type);
}

void SmtpConnTrafficList::recordTrafficConn(RawConnTrafficItem& item) {
  std::lock_guard<std::mutex> lock(mutex_);
  RawTrafficMap* map = rawMapOf(item.type);
  if (map == nullptr) {
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "get error type SMTP Traffic Throttling log, drop it");
    return;
  }
  auto found = map->find(item);
  if (found != map->end()) {
    if (found->second < INT_MAX) ++found->second;
    return;
  }
  if (cap_.admits(map->size())) map->emplace(item, 1);  // the first observation of an entry stays its key
}

void SmtpConnTrafficList::setMaxKeys(size_t keys) {
  std::lock_guard<std::mutex> lock(mutex_);
  cap_.setMax(keys);
}

size_t SmtpConnTrafficList::maxKeys() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cap_.max();
}

unsigned long long SmtpConnTrafficList::takeDroppedKeys() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cap_.takeDropped();
}

bool SmtpConnTrafficList::rawEmpty(int type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rawMapOf(type)->empty();
}

bool SmtpConnTrafficList::rawIPBaseConnEmpty() const { return rawEmpty(kTrafficIPConn); }
bool SmtpConnTrafficList::rawIPBaseMsgEmpty() const { return rawEmpty(kTrafficIPMsg); }
bool SmtpConnTrafficList::rawSenderBaseEmpty() const { return rawEmpty(kTrafficSenderMsg); }

SmtpConnTrafficList::RawTrafficMap SmtpConnTrafficList::rawTraffic(int type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const RawTrafficMap* map = rawMapOf(type);
  return map == nullptr ? RawTrafficMap() : *map;
}

bool SmtpConnTrafficList::ipBaseHasTimeout() const { return KELP::Clock::now() >= ipBaseDeadline_; }

bool SmtpConnTrafficList::senderBaseHasTimeout() const {
  return KELP::Clock::now() >= senderBaseDeadline_;
}

void SmtpConnTrafficList::ipBaseResetTimeout() {
  ipBaseDeadline_ = deadlineAfter(ipBaseSendInterval_);
}

void SmtpConnTrafficList::senderBaseResetTimeout() {
  senderBaseDeadline_ = deadlineAfter(senderBaseSendInterval_);
}
