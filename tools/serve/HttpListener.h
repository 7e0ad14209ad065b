#ifndef ORVO_TOOLS_SERVE_HTTPLISTENER_H
#define ORVO_TOOLS_SERVE_HTTPLISTENER_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "HttpService.h"

namespace Orvo {
namespace Serve {

// Accepts connections on one address and gives each to an HttpSession of
// the service, on the io_context's thread, until closed. Past
// maxConnections open sessions a connection gets a spare session (it
// answers health and metrics, and refuses renders). When accepting fails
// (out of descriptors, say) it tries again after a pause, never at once.
class HttpListener {
public:
    // How long accepting pauses after it failed.
    static constexpr int AcceptRetryMs = 100;

    HttpListener(boost::asio::io_context& io, HttpService& service, std::size_t maxConnections);

    // Listens on address and starts accepting; throws the library's
    // system_error when it cannot listen there.
    void Listen(const boost::asio::ip::tcp::endpoint& address);
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

    // Accepts no more connections; those open stay open.
    void Close();

private:
    void Accept();

    HttpService& service;
    const std::size_t maxConnections;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer pause;
};

} // namespace Serve
} // namespace Orvo

#endif
