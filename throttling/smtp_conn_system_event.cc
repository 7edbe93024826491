// System events of SMTP traffic throttling (tb_system_event), written when a
// blocked item is stored or has expired. escapeData doubles the quotes of a
// text for the few places that must write one inside a statement text; the
// event itself binds its values.

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "host/base/clock.h"
#include "host/config/config_file_on_disk.h"
#include "host/config/install_dir.h"
#include "host/log/log.h"
#include "throttling/db_operation.h"
#include "throttling/smtp_conn_traffic_list.h"

using KELP::Log;
using KELP::LOG_DIAGNOSTIC;
using KELP::LOG_NORMAL;

namespace {

const size_t kMaxDescription = 256;

}  // namespace

void SmtpConnTrafficList::escapeData(const char* data, std::string& buffer, const char*& out) {
  out = data;
  if (data == nullptr || strchr(data, '\'') == nullptr) return;
  buffer.clear();
  for (const char* p = data; *p != '\0'; ++p) {
    buffer += *p;
    if (*p == '\'') buffer += '\'';
  }
  out = buffer.c_str();
}

bool SmtpConnTrafficList::WriteSysEvtToDB(int eventId, const std::string& description, int withAdmin) {
  const char* sql = withAdmin == 1
                        ? "insert into tb_system_event(scanner_id, time_date, event_id, "
                          "event_description,admin_name) values (?, ?, ?, ?,'admin')"
                        : "insert into tb_system_event(scanner_id, time_date, event_id, "
                          "event_description) values (?, ?, ?, ?)";
  time_t now = KELP::Clock::now();
  struct tm tm;
  if (gmtime_r(&now, &tm) == nullptr) {
    Log::LogByLevel(LOG_NORMAL, "Abnormal. gmtime() return NULL.");
    return false;
  }
  char timeText[64];
  strftime(timeText, sizeof timeText, "%b %d %Y %X UTC", &tm);

  std::string path = KELP::installDir(home_) + "/config/kelp.ini";
  KELP::ConfigFileOnDisk ini(path.c_str());
  if (!ini.loaded) {
    Log::LogByLevel(LOG_NORMAL, "init kelp.ini failed");
    return false;
  }
  int scannerId = 3;
  std::string value;
  if (ini.getparam("kelp_manager", "scanner_id", value))
    scannerId = static_cast<int>(strtol(value.c_str(), nullptr, 10));
  else
    Log::LogByLevel(LOG_NORMAL, "get scanner_id from kelp.ini failed");

  if (description.size() > kMaxDescription) {
    Log::LogByLevel(LOG_NORMAL, "Content string exceeds 256 chars, could not be wrote to admin DB.");
    return false;
  }
  // The description goes as a parameter, byte for byte: no quoting needed.
  Log::LogByLevel(LOG_DIAGNOSTIC, "dump execute sql statement:%s with (%d, [%s], %d, [%s])", sql, scannerId,
                  timeText, eventId, description.c_str());
  DbOperation op(*this);
  if (!op.prepare(sql)) {
    Log::LogByLevel(LOG_NORMAL, "fail to prepare statement:%s ", sql);
    return false;
  }
  op.bindInt(1, scannerId);
  op.bindText(2, timeText);
  op.bindInt(3, eventId);
  op.bindText(4, description);
  if (!op.run()) {
    Log::LogByLevel(LOG_NORMAL, "Call excuteUpdate() failed: SQL=%s", sql);
    return false;
  }
  return true;
}
