// The four list files of SMTP traffic throttling under
// <home>/config/throttling/: approved_ip, blocked_ip, approved_sender,
// blocked_sender.
//
// One entry a line; '#' starts a comment anywhere on the line; blank lines are
// ignored. IP lists hold dotted quads or CIDR blocks (see ipv4_block_set.h),
// sender lists addresses, @domains or <> (see list_image_builder.h). Entries of the
// blocked lists may be followed by their expiration in seconds since the
// epoch; without one the block never expires. A malformed line is logged at
// level 1 with file and line number and skipped; the rest still loads. A
// missing file is an empty list; an unreadable one is logged and empty.
//
// Read by the process that builds the list image (see list_image_store.h);
// the entries go straight into a ListImageBuilder.
#ifndef KEELGATE_HOST_LISTS_THROTTLING_LISTS_H
#define KEELGATE_HOST_LISTS_THROTTLING_LISTS_H

#include <limits.h>

#include <string>

#include "host/lists/ipv4_block_set.h"
#include "host/lists/list_image_builder.h"
#include "host/base/sender_address.h"

namespace KELP {

// The expiration of a block that never expires.
constexpr long long kNeverExpires = LLONG_MAX;

// True while a block with this expiration holds: it holds up to the second
// before its expiration and has expired at that second.
inline bool blockHolds(long long expiration, long long now) { return now < expiration; }

// In the order of the image's entry counts (ListImage::entries).
enum class ThrottlingListKind { kApprovedIp, kBlockedIp, kApprovedSender, kBlockedSender };
constexpr int kThrottlingListCount = 4;

// The file name of list `kind` ("approved_ip", ...).
const char* throttlingListFile(ThrottlingListKind kind);

// Adds the entries of one list's text; `path` names the file in log lines.
void parseThrottlingList(ThrottlingListKind kind, const std::string& path,
                         const std::string& text, ListImageBuilder& lists);

}  // namespace KELP

#endif
