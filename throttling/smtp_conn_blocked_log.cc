// The CSV half of SmtpConnBlockedList: the process's CSV device, its one-time
// set-up and the writing of the items as rows.
#include "throttling/smtp_conn_blocked_list.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <unistd.h>

#include <vector>

#include "host/log/log.h"

using KELP::Log;

namespace {

const unsigned kEntryType = 8;
const char kColumns[] = "szTimez,szIP,szSender,iType,iCount";
const struct {
  const char* name;
  int typeCode;  // 10 time text, 12 string, 6 unsigned 32-bit
} kColumnTypes[] = {
    {"szTimez", 10}, {"szIP", 12}, {"szSender", 12}, {"iType", 6}, {"iCount", 6},
};
const int kMaxSplitBytes = 1048576;

// The set-up state beside the class's static device pointer. Never destroyed:
// the global list's destructor may run after this file's statics are gone.
struct DeviceState {
  std::mutex mu;  // guards everything below and p_conn_blocked_log
  bool bLogInitialized = false;
  std::string ownerAccount = "kelp";
};

DeviceState& deviceState() {
  static DeviceState* state = new DeviceState;
  return *state;
}

bool lookupOwner(const std::string& account, uid_t* uid, gid_t* gid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwnam_r(account.c_str(), &pw, buf.data(), buf.size(), &found)) == ERANGE &&
         buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  if (rc != 0 || found == nullptr) return false;
  *uid = pw.pw_uid;
  *gid = pw.pw_gid;
  return true;
}

// Rotation size in bytes from kilobytes; 0 means no rotation.
int splitSizeBytes(int rotateKb) {
  if (rotateKb > 1024) return kMaxSplitBytes;
  return rotateKb > 0 ? rotateKb * 1024 : 0;
}

}  // namespace

qx_LOG_LogDevice* SmtpConnBlockedList::p_conn_blocked_log = nullptr;
qx_LOG_LogWriter SmtpConnBlockedList::writer(nullptr);

SmtpConnBlockedList::~SmtpConnBlockedList() {
  std::lock_guard<std::mutex> lock(deviceState().mu);
  if (p_conn_blocked_log == nullptr) return;
  Log::LogByLevel(KELP::LOG_DEBUG, "SMTP Traffic Throttling release csv writer");
  releaseDevice();
}

bool SmtpConnBlockedList::smtpConnevtcallback_func(unsigned entryType, unsigned, unsigned,
                                                   qx_LOG_LogEntry&, void*) {
  return entryType == kEntryType;
}

int SmtpConnBlockedList::log() {
  std::lock_guard<std::mutex> writing(writeMu_);
  Log::LogByLevel(KELP::LOG_DEBUG, "In SmtpConnBlockedList enter log function");
  ItemMap items;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items.swap(blockedItems);
  }
  int result = writeRows(items);
  putBack(items);
  return result;
}

// Called with writeMu_ held; takes the device mutex, and mutex_ only around
// the set-up, which reads the settings.
int SmtpConnBlockedList::writeRows(ItemMap& blockedItems) {
  std::lock_guard<std::mutex> deviceLock(deviceState().mu);
  if (!deviceState().bLogInitialized) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (setUpDevice() != 0) return -1;
  }

  qx_LOG_LogEntry entry(kEntryType, 0);
  for (auto it = blockedItems.begin(); it != blockedItems.end(); it = blockedItems.erase(it)) {
    const ConnBlockedItem& item = it->first;
    entry.AddAttribStr("szTimez", item.szTimez);
    entry.AddAttribStr("szIP", item.szIP);
    entry.AddAttribStr("szSender", item.szSender);
    entry.AddAttrib4u("iType", static_cast<uint32_t>(item.iType));
    entry.AddAttrib4u("iCount", static_cast<uint32_t>(it->second));
    if (Log::enabled(KELP::LOG_DEBUG)) {
      char text[4096];
      snprintf(text, sizeof text,
               "writing blocked log of SMTP Traffic Throttling:[%s,%s,%s,%d,%d]", item.szTimez,
               item.szIP.c_str(), item.szSender.c_str(), item.iType, it->second);
      Log::LogByLevel(KELP::LOG_DEBUG, "%s", text);
    }
    try {
      writer.WriteEntry(entry);
    } catch (const qx_EXCEPTION_base& e) {
      // Keep this row and the ones after it: the next log() tries them again.
      Log::LogByLevel(KELP::LOG_NORMAL,
                      "In SmtpConnBlockedList cannot write blocked log row "
                      "[%s,%.256s,%.256s,%d,%d]: %s; %zu rows kept for the next write",
                      item.szTimez, item.szIP.c_str(), item.szSender.c_str(), item.iType,
                      it->second, e.get_message().c_str(), blockedItems.size());
      return -1;
    }
  }
  return 0;
}

// Called with the device mutex and mutex_ held.
int SmtpConnBlockedList::setUpDevice() {
  try {
    qx_LOG_LogConfig::SetDefinitionPath(ldfFile);
    qx_LOG_LogConfig::SetLocale(18);
    qx_LOG_LogConfig::SetCodePage("UTF8");
    qx_LOG_LogConfig::SetActionAttrLenExceed(1);
    qx_LOG_CSVTextLog* csv =
        qx_LOG_LogDevice::GetCSVTextLog(logPath, logPrefix, true, 9, nullptr, nullptr, false);
    p_conn_blocked_log = csv;
    if (csv == nullptr) {
      Log::LogByLevel(KELP::LOG_NORMAL,
                      "In SmtpConnBlockedList cannot init smtp conn blocked CSV log, failed!");
      return -1;
    }
    uid_t uid;
    gid_t gid;
    if (!lookupOwner(deviceState().ownerAccount, &uid, &gid)) {
      Log::LogByLevel(KELP::LOG_NORMAL, "In SmtpConnBlockedList cannot get owner, failed!");
      releaseDevice();  // the next attempt gets a fresh device
      return -1;
    }
    csv->SetPermission(-1, uid, gid);
    int splitBytes = splitSizeBytes(logRotateSize);
    if (splitBytes > 0) {
      Log::LogByLevel(KELP::LOG_DEBUG, "nSplitBySize is %d", splitBytes);
      csv->SetRotationBySize(splitBytes);
    }
    csv->SetCallback(smtpConnevtcallback_func, nullptr);
    writer.AddLogDevice(csv);
    csv->SetCSVOutput(kEntryType, kColumns);
    for (const auto& column : kColumnTypes)
      qx_LOG_LogEntry::AddAttributeDefinition(kEntryType, column.name, column.typeCode);
    Log::LogByLevel(KELP::LOG_DEBUG,
                    "In SmtpConnBlockedList initial blocked log of SMTP Traffic Throttling "
                    "successfully.");
    deviceState().bLogInitialized = true;
  } catch (const qx_EXCEPTION_base& e) {
    Log::LogByLevel(KELP::LOG_DEBUG, "In SmtpConnBlockedList set log failed! msg is %s",
                    e.get_message().c_str());
    releaseDevice();
    return -1;
  }
  return 0;
}

// Called with the device mutex held.
void SmtpConnBlockedList::releaseDevice() {
  qx_LOG_LogDevice::ReleaseLog(p_conn_blocked_log);
  qx_LOG_LogConfig::ClearDefinitions();
  p_conn_blocked_log = nullptr;
  deviceState().bLogInitialized = false;
}

void SmtpConnBlockedList::resetDeviceForTest() {
  std::lock_guard<std::mutex> lock(deviceState().mu);
  releaseDevice();
}

void SmtpConnBlockedList::setOwnerAccountForTest(const std::string& account) {
  std::lock_guard<std::mutex> lock(deviceState().mu);
  deviceState().ownerAccount = account;
}
