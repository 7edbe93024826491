// The traffic line: the one text in which observations (to the local SMTP
// agent, count 1) and folded counts (to the parent's agent, the map's count)
// travel. Used by SmtpConnLongTcpConnClient and SmtpConnTrafficList; it
// formats only and touches no socket. Safe for any thread.
//
//   type 1:          "ORCAS-Conn-IP:<time>;<scanner>;<type>;<count>;<ip>\n"
//   type 2:          "ORCAS-Conn-MSG:<time>;<scanner>;<type>;<count>;<ip>;<sender>\n"
//   type 3 or other: "ORCAS-Conn-Sender:...;<ip>;<sender>\n"
//
// A line is always whole and always one line: in the IP and the sender every
// ';' and every control byte becomes '?', so a field can never shift the
// ones after it, and when a line would pass kTrafficLineSize - 1 bytes its
// sender (then, for a line without one, its IP) is shortened so that the
// line still ends with its line feed.
#ifndef KEELGATE_THROTTLING_TRAFFIC_LINE_H
#define KEELGATE_THROTTLING_TRAFFIC_LINE_H

#include <stddef.h>

#include <string>

#include "throttling/conn_traffic_item.h"

// Buffer size of one line, terminating NUL included.
const size_t kTrafficLineSize = 1024;

// The line key of a traffic type.
const char* trafficLineKey(int type);

// The line of `item` with the given count field; the type field is item.type.
std::string trafficLine(const RawConnTrafficItem& item, int count);

// The same line appended to `out`.
void appendTrafficLine(std::string& out, const RawConnTrafficItem& item, int count);

#endif
