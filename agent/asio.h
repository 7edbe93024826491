// The parts of standalone Asio the agent uses. Asio is compiled once, in
// asio_impl.cc (ASIO_SEPARATE_COMPILATION), not in every file that uses it.
#ifndef KEELGATE_AGENT_ASIO_H
#define KEELGATE_AGENT_ASIO_H

// The C++ library's configuration before Asio's (see asio_impl.cc).
#include <cstddef>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#endif
