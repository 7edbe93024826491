// Case folding of the senders of the throttling lists. The entries
// themselves are kept in the list image (list_image.h), which matches them
// ignoring ASCII case. Pure function, safe from any thread.
#ifndef KEELGATE_HOST_LISTS_SENDER_SET_H
#define KEELGATE_HOST_LISTS_SENDER_SET_H

#include <string>

namespace KELP {

// ASCII lower case of `s`.
std::string lowerAscii(const std::string& s);

}  // namespace KELP

#endif
