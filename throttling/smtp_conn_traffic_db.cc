// Aggregated traffic rows in the gateway database (t_sender_filter_conn_traffic):
// the dump of one type's map, the load back into the maps, and the delete of
// one IP's or sender's rows. Not used by the daemon's request path; callers
// run one operation at a time on a list. Every value is a bound parameter.

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "host/log/log.h"
#include "throttling/db_operation.h"
#include "throttling/smtp_conn_traffic_list.h"

using KELP::Log;
using KELP::LOG_DEBUG;
using KELP::LOG_DIAGNOSTIC;
using KELP::LOG_NORMAL;

namespace {

const char kDeleteType[] = "delete from t_sender_filter_conn_traffic where type=?";
const char kInsert[] = "insert into t_sender_filter_conn_traffic values(?,?,?,?,?,?)";
const char kSelectAll[] =
    "select to_char(time_stamp AT TIME ZONE 'UTC' ,'YYYY MM DD HH24 MI SS') as time_stamp, "
    "ip,sender,count,type,scanner_id from t_sender_filter_conn_traffic where type=?";
const char kSelectScanner[] =
    "select to_char(time_stamp AT TIME ZONE 'UTC' ,'YYYY MM DD HH24 MI SS') as time_stamp, "
    "ip,sender,count,type,scanner_id from t_sender_filter_conn_traffic where type=? and scanner_id=?";
const char kDeleteIp[] = "delete from t_sender_filter_conn_traffic where type=? and ip=?";
const char kDeleteSender[] = "delete from t_sender_filter_conn_traffic where type=? and sender=?";

// Fills `tm` from "YYYY MM DD HH24 MI SS" (single blanks); fields without a
// token keep what they held.
void parseTimeText(const char* text, struct tm& tm) {
  int* fields[] = {&tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec};
  const int offsets[] = {-1900, -1, 0, 0, 0, 0};
  std::string rest(text);
  size_t index = 0, start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(' ', start);
    std::string token = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (index >= 6) {
      Log::LogByLevel(LOG_NORMAL, "should not come to here, get time stamp error");
      return;
    }
    *fields[index] = static_cast<int>(strtol(token.c_str(), nullptr, 10)) + offsets[index];
    ++index;
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

bool listed(const std::vector<std::string>& excluded, const std::string& value) {
  return std::find(excluded.begin(), excluded.end(), value) != excluded.end();
}

}  // namespace

bool SmtpConnTrafficList::dumpMemoryTrafficLogToDB(bool withInsert, int type) {
  Log::LogByLevel(LOG_NORMAL, "Dump SMTP Traffic Throttling log from memory to DB");
  DbOperation op(*this);
  if (!op.prepare(kDeleteType)) {
    Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", kDeleteType);
    return false;
  }
  op.bindInt(1, type);
  Log::LogByLevel(LOG_DIAGNOSTIC, "execute SQL:[%s] with type=%d to delete out date IP Traffic log in DB",
                  kDeleteType, type);
  if (!op.run()) {
    Log::LogByLevel(LOG_NORMAL, "failed to delete out date IP Traffic log in DB");
    return false;
  }
  op.release();
  if (!withInsert) return true;
  if (!op.prepare(kInsert)) {
    Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", kInsert);
    return false;
  }
  const TrafficMap* map = aggregatedTraffic(type);
  if (map == nullptr) return true;
  bool all = true;
  for (const auto& entry : *map) {
    const ConnTrafficItem& key = entry.first;
    char timeText[64];
    memset(timeText, 0, sizeof timeText);
    time_t t = key.timeStamp;
    struct tm tm;
    if (gmtime_r(&t, &tm) == nullptr)
      Log::LogByLevel(LOG_DEBUG, "gmtime() returns NULL.");
    else
      strftime(timeText, sizeof timeText, "%b %d %Y %X UTC", &tm);
    op.bindText(1, key.ip);
    op.bindText(2, key.sender);
    op.bindText(3, timeText);
    op.bindInt(4, key.type);
    op.bindInt(5, key.scannerId);
    op.bindInt(6, entry.second);
    if (op.run()) continue;
    all = false;  // the other rows still go in
    if (type == 3)
      Log::LogByLevel(LOG_NORMAL, "failed to dump SMTP Traffic Throttling log to DB for sender:[%s]",
                      key.sender.c_str());
    else
      Log::LogByLevel(LOG_NORMAL, "failed to dump SMTP Traffic Throttling log to DB for IP:[%s]", key.ip.c_str());
  }
  return all;
}

bool SmtpConnTrafficList::getTrafficLogFromDB(bool allScanners, int type,
                                              const std::vector<std::string>& excluded) {
  Log::LogByLevel(LOG_NORMAL, "Get SMTP Traffic Throttling log from memory to DB");
  struct tm tm;  // shared by every row of this call
  memset(&tm, 0, sizeof tm);
  int scannerId = getScannerID();
  const char* sql = allScanners ? kSelectAll : kSelectScanner;
  DbOperation op(*this);
  if (!op.prepare(sql)) {
    Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", sql);
    return false;
  }
  op.bindInt(1, type);
  if (!allScanners) op.bindInt(2, scannerId);
  if (allScanners)
    Log::LogByLevel(LOG_DIAGNOSTIC, "execute SQL:[%s] with type=%d to get IP Traffic log from DB", sql, type);
  else
    Log::LogByLevel(LOG_DIAGNOSTIC, "execute SQL:[%s] with type=%d, scanner_id=%d to get IP Traffic log from DB",
                    sql, type, scannerId);
  KELP::QxDBResultset* rows = nullptr;
  if (!op.run(&rows)) {
    Log::LogByLevel(LOG_NORMAL, "failed to get IP Traffic log from DB");
    return false;
  }
  while (rows->next() == 0) {
    const char* ip = nullptr;
    const char* sender = nullptr;
    const char* timeText = nullptr;
    int rowType = 0, rowScanner = 0, count = 0;
    if (rows->getString("ip", &ip) != 0) return Log::LogByLevel(LOG_NORMAL, "failed to get ip!"), false;
    Log::LogByLevel(LOG_DEBUG, "get ip=%s", ip);
    if (rows->getString("sender", &sender) != 0)
      return Log::LogByLevel(LOG_NORMAL, "failed to get sender!"), false;
    Log::LogByLevel(LOG_DEBUG, "get sender=%s", sender);
    if (rows->getInt("type", rowType) != 0) return Log::LogByLevel(LOG_NORMAL, "failed to get type!"), false;
    Log::LogByLevel(LOG_DEBUG, "get type=%d", rowType);
    if ((rowType == 1 || rowType == 2) && listed(excluded, ip)) {
      Log::LogByLevel(LOG_DEBUG, "SMTP Traffic Throttling type:%d, drop this no need log for ip [%s]", rowType, ip);
      continue;
    }
    if (rowType == 3 && listed(excluded, sender)) {
      Log::LogByLevel(LOG_DEBUG, "SMTP Traffic Throttling type:%d, drop this no need log for sender [%s]", rowType,
                      sender);
      continue;
    }
    if (rows->getInt("scanner_id", rowScanner) != 0)
      return Log::LogByLevel(LOG_NORMAL, "failed to get scanner id!"), false;
    Log::LogByLevel(LOG_DEBUG, "get scanner Id=%d", rowScanner);
    if (rows->getInt("count", count) != 0) return Log::LogByLevel(LOG_NORMAL, "failed to get count!"), false;
    Log::LogByLevel(LOG_DEBUG, "get count=%d", count);
    if (rows->getString("time_stamp", &timeText) != 0)
      return Log::LogByLevel(LOG_NORMAL, "failed to get time stamp!"), false;
    Log::LogByLevel(LOG_DEBUG, "get time stamp text=%s", timeText);
    parseTimeText(timeText, tm);
    time_t when = timegm(&tm);
    char local[64] = "";
    struct tm localTm;
    if (localtime_r(&when, &localTm) != nullptr) strftime(local, sizeof local, "%b %d %Y %X", &localTm);
    Log::LogByLevel(LOG_DEBUG, "get time stamp=%s", local);
    ConnTrafficItem item;
    item.timeStamp = static_cast<int32_t>(when);
    item.ip = ip;
    item.sender = sender;
    item.type = rowType;
    item.count = count;
    item.scannerId = rowScanner;
    Log::LogByLevel(LOG_DEBUG,
                    "get traffic log from DB ip=%s, sender=%s, type=%d, count=%d, scannerId=%d, sqltime=%d, "
                    "timestamp=%s",
                    ip, sender, rowType, count, rowScanner, item.timeStamp, local);
    TrafficMap* map = aggregatedTraffic(rowType);
    if (map == nullptr) {
      Log::LogByLevel(LOG_NORMAL, "incorrect SMTP Traffic Throttling type:%d, drop this log", rowType);
      continue;
    }
    (*map)[item] = count;  // an equal key keeps its place and takes the row's count
  }
  return !rows->failed();  // a row that could not be fetched ends the load unfinished
}

bool SmtpConnTrafficList::releaseDropTrafficList(const int& type, const std::string& key) {
  const char* sql = type == 1 || type == 2 ? kDeleteIp : kDeleteSender;
  DbOperation op(*this);
  Log::LogByLevel(LOG_NORMAL, "PrepareStatement :%s", sql);
  if (!op.prepare(sql)) {
    Log::LogByLevel(LOG_NORMAL, "PrepareStatement failed:%s", sql);
    return false;
  }
  op.bindInt(1, type);
  op.bindText(2, key);
  Log::LogByLevel(LOG_DIAGNOSTIC, "execute SQL [%s] with type=%d, key=[%s] to delete conn traffic log list from DB",
                  sql, type, key.c_str());
  if (!op.run()) {
    Log::LogByLevel(LOG_NORMAL, "failed to delete traffic log list from DB");
    return false;
  }
  Log::LogByLevel(LOG_DIAGNOSTIC, "delete conn traffic log list in DB successfully");
  return true;
}
