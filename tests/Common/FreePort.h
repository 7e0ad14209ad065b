#ifndef ORVO_TESTS_FREEPORT_H
#define ORVO_TESTS_FREEPORT_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace OrvoTest {

// A port of 127.0.0.1 that was free a moment ago, for a server the test
// starts as a program of its own (redis-server, haproxy, orvo-serve).
inline unsigned short FreePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();
}

} // namespace OrvoTest

#endif
