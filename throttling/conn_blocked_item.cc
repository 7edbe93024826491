#include "throttling/conn_blocked_item.h"

#include <stdio.h>

ConnBlockedItem::ConnBlockedItem() : szTimez{}, iType(0) {}

bool ConnBlockedItem::setTime(time_t t) {
  // Formatted by hand rather than with strftime so that the process locale
  // can never change the month names.
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  szTimez[0] = '\0';
  struct tm tmv;
  if (gmtime_r(&t, &tmv) == nullptr) return false;
  snprintf(szTimez, sizeof szTimez, "%s %02d %d %02d:%02d:%02d UTC", kMonths[tmv.tm_mon],
           tmv.tm_mday, tmv.tm_year + 1900, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  return true;
}

bool ConnBlockedItem::operator<(const ConnBlockedItem& other) const {
  bool ip = isIPItem();
  if (ip != other.isIPItem()) return ip;
  // std::string compares like memcmp: byte-wise, bytes as unsigned.
  return ip ? szIP < other.szIP : szSender < other.szSender;
}
