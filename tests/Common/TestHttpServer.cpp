#include "Common/TestHttpServer.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <chrono>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace OrvoTest {

namespace {

namespace http = boost::beast::http;
using boost::asio::ip::tcp;

// One connection: reads requests and writes their answers until the peer
// closes it.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, TestHttpServer& server)
        : socket(std::move(socket)), server(server), timer(this->socket.get_executor()) {}

    void Read() {
        request = {};
        auto self = shared_from_this();
        http::async_read(socket, buffer, request, [self](boost::beast::error_code error, std::size_t) {
            if (!error) {
                self->Write();
            }
        });
    }

private:
    void Write() {
        TestHttpServer::Request in;
        in.method = std::string(request.method_string());
        in.target = std::string(request.target());
        for (const auto& field : request) {
            in.headers[boost::algorithm::to_lower_copy(std::string(field.name_string()))] = std::string(field.value());
        }
        in.body = request.body();
        const TestHttpServer::Response out = server.Answer(in);
        if (out.hold) {
            server.Hold(shared_from_this());
            return;
        }
        response = {};
        response.version(11);
        response.result(static_cast<unsigned>(out.status));
        for (const auto& header : out.headers) {
            response.set(header.first, header.second);
        }
        response.body() = out.body;
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        auto self = shared_from_this();
        timer.expires_after(std::chrono::milliseconds(out.delayMs));
        timer.async_wait([self](boost::beast::error_code) {
            http::async_write(self->socket, self->response, [self](boost::beast::error_code error, std::size_t) {
                if (!error && self->response.keep_alive()) {
                    self->Read();
                }
            });
        });
    }

    tcp::socket socket;
    TestHttpServer& server;
    boost::asio::steady_timer timer;
    boost::beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
};

} // namespace

TestHttpServer::TestHttpServer(Handler handler)
    : handler(std::move(handler)),
      acceptor(context, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
    Accept();
    thread = std::thread([this] { context.run(); });
}

TestHttpServer::~TestHttpServer() {
    context.stop();
    thread.join();
}

std::string TestHttpServer::Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + target;
}

std::vector<TestHttpServer::Request> TestHttpServer::Received() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

bool TestHttpServer::Got(const std::string& target) const {
    for (const Request& request : Received()) {
        if (request.target == target) {
            return true;
        }
    }
    return false;
}

TestHttpServer::Response TestHttpServer::Answer(const Request& request) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(request);
    }
    return handler(request);
}

void TestHttpServer::Hold(std::shared_ptr<void> connection) {
    std::lock_guard<std::mutex> lock(mutex);
    held.push_back(std::move(connection));
}

void TestHttpServer::Accept() {
    acceptor.async_accept([this](boost::beast::error_code error, tcp::socket socket) {
        if (!error) {
            std::make_shared<Connection>(std::move(socket), *this)->Read();
        }
        Accept();
    });
}

} // namespace OrvoTest
