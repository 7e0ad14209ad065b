#ifndef ORVO_TOOLS_SERVE_HTTPSESSION_H
#define ORVO_TOOLS_SERVE_HTTPSESSION_H

#include <array>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "HttpService.h"

namespace Orvo {
namespace Serve {

// One client connection: reads a request, has the service answer it,
// writes the answer, and reads the next while the connection is kept
// alive. A request must arrive whole within the read time-out of the
// connection going quiet (a slow or silent client is dropped) and its body
// be at most BodyLimit bytes (else 413 and the connection is closed). The
// service counts its sessions from construction to destruction.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    static constexpr std::size_t BodyLimit = 1024 * 1024;
    // The default read time-out; ORVO_TEST_TIME_DIVISOR divides it.
    static constexpr int ReadTimeoutMs = 30000;
    static constexpr int WriteTimeoutMs = 60000;
    // How long a closing connection reads what the peer still sends.
    static constexpr int DrainTimeoutMs = 5000;

    // A session opened past the service's connection limit (spare) reads
    // one request: /_ping and /metrics are answered, anything else 503
    // TooManyConnections, and the connection is closed.
    HttpSession(boost::asio::ip::tcp::socket socket, HttpService& service, bool spare);
    ~HttpSession();

    void Start() { Read(); }

private:
    void Read();
    void OnRead(boost::beast::error_code error);
    void Refuse(const Reply& reply, HttpService::Clock::time_point arrival);
    void Write(const Reply& reply, bool keepAlive);
    void Close();
    void Drain();

    boost::beast::tcp_stream stream;
    HttpService& service;
    const bool spare;
    std::string client;
    boost::beast::flat_buffer buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser;
    boost::beast::http::response<boost::beast::http::string_body> response;
    std::array<char, 16384> drained;
};

} // namespace Serve
} // namespace Orvo

#endif
