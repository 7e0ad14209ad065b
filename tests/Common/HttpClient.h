#ifndef ORVO_TESTS_HTTPCLIENT_H
#define ORVO_TESTS_HTTPCLIENT_H

#include <map>
#include <memory>
#include <string>

namespace OrvoTest {

// A blocking HTTP/1.1 client for 127.0.0.1: one connection, kept alive
// between requests while the server keeps it open, reopened when it does
// not.
class HttpClient {
public:
    struct Response {
        int status = 0;
        std::map<std::string, std::string> headers;  // names in lower case
        std::string body;
    };

    explicit HttpClient(unsigned short port);
    ~HttpClient();

    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    Response Get(const std::string& target);
    Response Post(const std::string& target, const std::string& body, const std::string& contentType);
    typedef std::map<std::string, std::string> Headers;

    // Throws the library's system_error when the connection fails.
    Response Send(const std::string& method, const std::string& target, const std::string& body,
                  const std::string& contentType, const Headers& headers = Headers());

    // Percent-encodes text for a query string.
    static std::string Encode(const std::string& text);

private:
    struct Connection;

    const unsigned short port;
    std::unique_ptr<Connection> connection;
};

} // namespace OrvoTest

#endif
