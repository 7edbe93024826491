// Text rules for envelope senders and domains, shared by the TLS decision and
// the throttling lists so that both always agree on what a sender's domain is.
// Pure functions, safe from any thread.
#ifndef KEELGATE_HOST_BASE_SENDER_ADDRESS_H
#define KEELGATE_HOST_BASE_SENDER_ADDRESS_H

#include <string>
#include <string_view>

namespace KELP {

// The domain of a sender: the text after its last '@' (a quoted local part
// may hold '@' of its own), without one trailing dot; the whole sender, also
// without a trailing dot, when it holds no '@'. `hasAt` tells which.
std::string_view senderDomain(std::string_view sender, bool* hasAt = nullptr);

// ASCII lower case of `s`; other bytes unchanged. Matching of senders and
// domains ignores ASCII case only.
std::string lowerAscii(std::string_view s);

}  // namespace KELP

#endif
