#include "HttpSession.h"

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "Protocol/TimeDivisor.h"

namespace Orvo {
namespace Serve {

namespace http = boost::beast::http;

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket, HttpService& service, bool spare)
    : stream(std::move(socket)), service(service), spare(spare) {
    service.SessionOpened();
    boost::system::error_code error;
    const auto peer = stream.socket().remote_endpoint(error);
    client = error ? std::string("-") : peer.address().to_string();
}

HttpSession::~HttpSession() {
    service.SessionClosed();
}

void HttpSession::Read() {
    parser.emplace();
    parser->body_limit(BodyLimit);
    stream.expires_after(std::chrono::milliseconds(Browser::TimeDivisor::Scaled(ReadTimeoutMs)));
    http::async_read(stream, buffer, *parser,
                     [self = shared_from_this()](boost::beast::error_code error, std::size_t) { self->OnRead(error); });
}

void HttpSession::OnRead(boost::beast::error_code error) {
    const HttpService::Clock::time_point arrival = HttpService::Clock::now();
    // The connection ended or went quiet: nothing to answer.
    const bool unreadable = error && error.category() != http::make_error_code(http::error::bad_target).category();
    if (error == http::error::end_of_stream || unreadable) {
        Close();
        return;
    }
    service.RequestRead();
    if (error == http::error::body_limit) {
        return Refuse(Reply::Error(413, "RequestTooLarge", "The request body is larger than 1 MB",
                                   {{"limit", BodyLimit}}, Reply::Outcome::TooLarge),
                      arrival);
    }
    if (error) {
        return Refuse(Reply::Error(400, "BadRequest", "The request is not HTTP/1.1 this service reads",
                                   {{"reason", error.message()}}, Reply::Outcome::BadRequest),
                      arrival);
    }
    stream.expires_never();
    const std::string target(parser->get().target());
    const std::string path = target.substr(0, target.find('?'));
    if (spare && path != "/_ping" && path != "/metrics") {
        Reply busy = Reply::Error(503, "TooManyConnections", "Too many connections are open; connect again later",
                                  nlohmann::json::object(), Reply::Outcome::TooManyConnections);
        busy.headers.push_back({"Retry-After", "1"});
        return Refuse(busy, arrival);
    }
    const bool keepAlive = parser->get().keep_alive() && !spare;
    service.Handle(parser->get(), client, arrival,
                   [self = shared_from_this(), keepAlive](const Reply& reply) { self->Write(reply, keepAlive); });
}

// A request that could not be read whole is answered, logged under no
// endpoint, and its connection closed.
void HttpSession::Refuse(const Reply& reply, HttpService::Clock::time_point arrival) {
    service.Record(client, "-", "", reply, arrival);
    Write(reply, false);
}

void HttpSession::Write(const Reply& reply, bool keepAlive) {
    const bool open = keepAlive && !service.Stopping();
    response = {};
    response.version(11);
    response.result(static_cast<unsigned>(reply.status));
    response.set(http::field::server, "orvo-serve");
    response.set(http::field::content_type, reply.contentType);
    for (const auto& header : reply.headers) {
        response.set(header.first, header.second);
    }
    response.body() = reply.body;
    response.keep_alive(open);
    response.prepare_payload();
    stream.expires_after(std::chrono::milliseconds(WriteTimeoutMs));
    http::async_write(stream, response, [self = shared_from_this(), open](boost::beast::error_code error, std::size_t) {
        self->service.AnswerWritten();
        if (!error && open) {
            self->Read();
        } else {
            self->Close();
        }
    });
}

// The peer may still be sending (a body past the limit): what it sends is
// read and dropped until it closes or the drain time-out passes, so that
// closing with unread data does not reset the connection before the peer
// has read the answer.
void HttpSession::Close() {
    boost::system::error_code ignored;
    stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    stream.expires_after(std::chrono::milliseconds(DrainTimeoutMs));
    Drain();
}

void HttpSession::Drain() {
    stream.async_read_some(boost::asio::buffer(drained),
                           [self = shared_from_this()](boost::beast::error_code error, std::size_t) {
                               if (error) {
                                   self->stream.close();
                               } else {
                                   self->Drain();
                               }
                           });
}

} // namespace Serve
} // namespace Orvo
