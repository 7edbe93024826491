// Blocked IP addresses and senders in the gateway database
// (t_sender_filter_blocked): storing one, announcing and deleting the expired
// ones, and the version number by which the gateway notices a change of the
// throttling data. Types 1 and 3 name an item by IP address, type 2 by sender.
// Times are seconds since the epoch, bound as 64-bit values (bigint columns),
// so blocks may end past 2038.

#include <stdint.h>

#include <vector>

#include "host/base/clock.h"
#include "host/log/log.h"
#include "host/config/qx_resbundle.h"
#include "throttling/db_operation.h"
#include "throttling/smtp_conn_traffic_list.h"

using KELP::Log;
using KELP::LOG_DEBUG;
using KELP::LOG_DIAGNOSTIC;
using KELP::LOG_NORMAL;

namespace {

const int kBlockedEventId = 30000;

// The opening words of an event from resource.ini, or `builtIn`.
std::string eventText(const std::string& home, const char* key, const char* builtIn) {
  KELP::QxResbundle bundle(home);
  bundle._init(bundle.GetResourceFileName(), "SmtpTrafficThrottling", nullptr);
  std::string text;
  bundle.getString(key, text);
  return text.empty() ? builtIn : text;
}

}  // namespace

bool SmtpConnTrafficList::insertBlockedToDB(std::string ip, std::string sender, int type, int64_t blockStartTime,
                                            int64_t expiration) {
  Log::LogByLevel(LOG_DEBUG, "Insert blocked item:[%s/%s] to DB", ip.c_str(), sender.c_str());
  std::string text = eventText(home_, "InsertBlockedItem", "insert blocked list of SMTP Traffic Throttling to DB:");
  if (type != 1 && type != 2 && type != 3) return false;
  const bool byIp = type != 2;
  const std::string& key = byIp ? ip : sender;
  bool existed = false;
  {
    DbOperation op(*this);
    const char* count = byIp ? "select count(*) as num from t_sender_filter_blocked where ip = ?"
                             : "select count(*) as num from t_sender_filter_blocked where sender = ?";
    if (!op.prepare(count)) return Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", count), false;
    op.bindText(1, key);
    Log::LogByLevel(LOG_DIAGNOSTIC, "select exist blocked item [%s] from DB", key.c_str());
    KELP::QxDBResultset* rows = nullptr;
    int num = 0;
    if (!op.run(&rows) || rows->next() != 0 || rows->getInt("num", num) != 0) {
      // Without the count the store is not tried: a database that cannot
      // answer a count would not keep the block either.
      Log::LogByLevel(LOG_NORMAL, "failed to select exist blocked item [%s] exists in DB,skip insert", key.c_str());
      return false;
    }
    Log::LogByLevel(LOG_DIAGNOSTIC, "get existed count=%d ", num);
    if (num > 0) {
      Log::LogByLevel(LOG_NORMAL, "current blocked item [%s] exists in DB,update it", key.c_str());
      existed = true;
    }
    op.release();
    const char* store =
        byIp ? "delete from t_sender_filter_blocked where ip=?;insert into t_sender_filter_blocked "
               "values(true,?,?,?,?,?)"
             : "delete from t_sender_filter_blocked where sender=?;insert into t_sender_filter_blocked "
               "values(true,?,?,?,?,?)";
    if (!op.prepare(store)) return Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", store), false;
    op.bindText(1, key);
    op.bindText(2, ip);
    op.bindText(3, sender);
    op.bindInt(4, type);
    op.bindInt64(5, blockStartTime);
    op.bindInt64(6, expiration);
    Log::LogByLevel(LOG_DIAGNOSTIC,
                    "insert blocked list to DB ip=%s, sender=%s, type=%d, blockStartTime=%lld, expiration=%lld",
                    ip.c_str(), sender.c_str(), type, static_cast<long long>(blockStartTime),
                    static_cast<long long>(expiration));
    if (!op.run()) {
      Log::LogByLevel(LOG_NORMAL, "failed to insert blocked ip/sender=[%s/%s]", ip.c_str(), sender.c_str());
      return false;
    }
    Log::LogByLevel(LOG_DIAGNOSTIC, "insert blocked ip/sender=[%s/%s] successfully", ip.c_str(), sender.c_str());
  }
  return existed || WriteSysEvtToDB(kBlockedEventId, text + key + ".", 1);
}

bool SmtpConnTrafficList::isAnyBlockExpire() {
  std::string text = eventText(home_, "DeleteBlockedItem", "Deleted IP addresses or senders that expired:");
  const char* sql = "select * from t_sender_filter_blocked where expiration<=?";
  const int64_t now = KELP::Clock::now();
  bool result = false;
  std::vector<std::string> events;
  {
    DbOperation op(*this);
    if (!op.prepare(sql)) return Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", sql), false;
    op.bindInt64(1, now);
    Log::LogByLevel(LOG_DIAGNOSTIC, "execute SQL [%s] with %lld to get expired blocked list in DB", sql,
                    static_cast<long long>(now));
    KELP::QxDBResultset* rows = nullptr;
    if (!op.run(&rows)) return false;
    while (rows->next() == 0) {
      const char* ip = nullptr;
      const char* sender = nullptr;
      int type = 0;
      long long start = 0, expiration = 0;
      if (rows->getString("ip", &ip) != 0) Log::LogByLevel(LOG_NORMAL, "failed to get ip");
      if (rows->getString("sender", &sender) != 0) Log::LogByLevel(LOG_NORMAL, "failed to get sender");
      if (rows->getInt("type", type) != 0) Log::LogByLevel(LOG_NORMAL, "failed to get type");
      if (rows->getLongLong("blocked_start_time", start) != 0)
        Log::LogByLevel(LOG_NORMAL, "failed to get blocked start time");
      bool lastRow = rows->getLongLong("expiration", expiration) != 0;
      if (lastRow) Log::LogByLevel(LOG_NORMAL, "failed to get expiration");
      Log::LogByLevel(LOG_DEBUG,
                      "get expired blocked item: type=%d, ip=%s, sender=%s, blocked start time=%lld, expiration=%lld",
                      type, ip != nullptr ? ip : "", sender != nullptr ? sender : "", start, expiration);
      // An event names what was read; an unreadable name gives none.
      if ((type == 1 || type == 3) && ip != nullptr) events.push_back(text + ip + ".");
      if (type == 2 && sender != nullptr) events.push_back(text + sender + ".");
      result = true;
      if (lastRow) break;
    }
  }
  for (const std::string& event : events) WriteSysEvtToDB(kBlockedEventId, event, 1);
  return result;
}

bool SmtpConnTrafficList::releaseDropBlockList() {
  const char* sql = "delete from t_sender_filter_blocked where expiration<=?";
  const int64_t now = KELP::Clock::now();
  DbOperation op(*this);
  if (!op.prepare(sql)) return Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", sql), false;
  op.bindInt64(1, now);
  Log::LogByLevel(LOG_DIAGNOSTIC, "execute SQL [%s] with %lld to delete expired blocked list from DB", sql,
                  static_cast<long long>(now));
  if (!op.run()) return Log::LogByLevel(LOG_NORMAL, "failed to delete blocked list from DB"), false;
  Log::LogByLevel(LOG_DIAGNOSTIC, "delete expired blocked list in DB successfully");
  return true;
}

bool SmtpConnTrafficList::updateVersionNumber() {
  Log::LogByLevel(LOG_DEBUG, "update version number for SMTP Traffic Throttling configurations sync");
  const char* sql = "update tb_tables_version set version=version+1 where tb_name='smpt_traffic_throttling'";
  DbOperation op(*this);
  if (!op.prepare(sql)) return Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", sql), false;
  if (!op.run()) return Log::LogByLevel(LOG_NORMAL, "failed to update version number"), false;
  return true;
}

int SmtpConnTrafficList::getVersionNumber() {
  Log::LogByLevel(LOG_DEBUG, "get version number for SMTP Traffic Throttling configurations sync");
  int version = 0;
  const char* sql = "select version from tb_tables_version where tb_name='smpt_traffic_throttling'";
  DbOperation op(*this);
  if (!op.prepare(sql)) return Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", sql), 0;
  KELP::QxDBResultset* rows = nullptr;
  if (!op.run(&rows)) {
    Log::LogByLevel(LOG_NORMAL, "failed to update version number");  // the wording of the update, kept
  } else if (rows->next() == 0 && rows->getInt("version", version) == 0) {
    Log::LogByLevel(LOG_DIAGNOSTIC, "get version number=%d ", version);
  }
  return version;
}
