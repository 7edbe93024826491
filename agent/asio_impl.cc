// The one compilation of Asio's own code for the agent.
//
// A standard header first: Asio decides between aligned_alloc and operator
// new by a macro of the C++ library's configuration, which must be known here
// as it is in every other file, or memory allocated by one is freed by the
// other.
#include <cstddef>

#include <asio/impl/src.hpp>
