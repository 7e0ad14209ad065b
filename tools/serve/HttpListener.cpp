#include "HttpListener.h"

#include <memory>

#include "HttpSession.h"

namespace Orvo {
namespace Serve {

using boost::asio::ip::tcp;

HttpListener::HttpListener(boost::asio::io_context& io, HttpService& service, std::size_t maxConnections)
    : service(service), maxConnections(maxConnections), acceptor(io), pause(io) {}

void HttpListener::Listen(const tcp::endpoint& address) {
    acceptor.open(address.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(address);
    acceptor.listen();
    Accept();
}

tcp::endpoint HttpListener::LocalEndpoint() const {
    return acceptor.local_endpoint();
}

void HttpListener::Close() {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    pause.cancel();
}

void HttpListener::Accept() {
    acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted || !acceptor.is_open()) {
            return;
        }
        if (error) {
            pause.expires_after(std::chrono::milliseconds(AcceptRetryMs));
            pause.async_wait([this](boost::system::error_code waited) {
                if (!waited && acceptor.is_open()) {
                    Accept();
                }
            });
            return;
        }
        const bool spare = service.Sessions() >= maxConnections;
        std::make_shared<HttpSession>(std::move(socket), service, spare)->Start();
        Accept();
    });
}

} // namespace Serve
} // namespace Orvo
