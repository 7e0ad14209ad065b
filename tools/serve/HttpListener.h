#ifndef ORVO_TOOLS_SERVE_HTTPLISTENER_H
#define ORVO_TOOLS_SERVE_HTTPLISTENER_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "HttpService.h"

namespace Orvo {
namespace Serve {

// Accepts connections on one address and gives each to an HttpSession of
// the service, on the io_context's thread, until closed.
class HttpListener {
public:
    HttpListener(boost::asio::io_context& io, HttpService& service);

    // Listens on address and starts accepting; throws the library's
    // system_error when it cannot listen there.
    void Listen(const boost::asio::ip::tcp::endpoint& address);
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

    // Accepts no more connections; those open stay open.
    void Close();

private:
    void Accept();

    HttpService& service;
    boost::asio::ip::tcp::acceptor acceptor;
};

} // namespace Serve
} // namespace Orvo

#endif
