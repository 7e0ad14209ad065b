#include "Common/HttpClient.h"

#include <cctype>
#include <cstdio>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace OrvoTest {

namespace http = boost::beast::http;
using boost::asio::ip::tcp;

struct HttpClient::Connection {
    boost::asio::io_context context;
    tcp::socket socket{context};
    boost::beast::flat_buffer buffer;
};

HttpClient::HttpClient(unsigned short port) : port(port) {}

HttpClient::~HttpClient() = default;

HttpClient::Response HttpClient::Get(const std::string& target) {
    return Send("GET", target, std::string(), std::string());
}

HttpClient::Response HttpClient::Post(const std::string& target, const std::string& body,
                                      const std::string& contentType) {
    return Send("POST", target, body, contentType);
}

HttpClient::Response HttpClient::Send(const std::string& method, const std::string& target, const std::string& body,
                                      const std::string& contentType, const Headers& headers) {
    if (!connection) {
        connection.reset(new Connection);
        connection->socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
    }
    http::request<http::string_body> request(http::string_to_verb(method), target, 11);
    request.set(http::field::host, "127.0.0.1");
    if (!contentType.empty()) {
        request.set(http::field::content_type, contentType);
    }
    for (const auto& header : headers) {
        request.set(header.first, header.second);
    }
    request.body() = body;
    request.keep_alive(true);
    request.prepare_payload();
    http::write(connection->socket, request);
    http::response_parser<http::string_body> parser;
    parser.body_limit(1024 * 1024 * 1024);
    http::read(connection->socket, connection->buffer, parser);
    Response response;
    response.status = static_cast<int>(parser.get().result_int());
    for (const auto& field : parser.get()) {
        response.headers[boost::algorithm::to_lower_copy(std::string(field.name_string()))] = std::string(field.value());
    }
    response.body = parser.get().body();
    if (!parser.get().keep_alive()) {
        connection.reset();
    }
    return response;
}

std::string HttpClient::Encode(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

} // namespace OrvoTest
