// The one compilation of Asio's own code for the agent.
#include <asio/impl/src.hpp>
