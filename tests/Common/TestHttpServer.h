#ifndef ORVO_TESTS_TESTHTTPSERVER_H
#define ORVO_TESTS_TESTHTTPSERVER_H

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace OrvoTest {

// An HTTP/1.1 server on 127.0.0.1 and a port of its own, answering every
// request through a handler on one thread of its own. It keeps every
// request it received, in order.
class TestHttpServer {
public:
    struct Request {
        std::string method;
        std::string target;
        std::map<std::string, std::string> headers;  // names in lower case
        std::string body;
    };

    struct Response {
        int status = 200;
        // How long the answer waits before it is sent.
        int delayMs = 0;
        // Never answer: the connection stays open, silent, until the
        // server is destroyed.
        bool hold = false;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
    };

    typedef std::function<Response(const Request&)> Handler;

    explicit TestHttpServer(Handler handler);
    ~TestHttpServer();

    std::string Url(const std::string& target) const;
    std::vector<Request> Received() const;
    // Whether a request for exactly this target came.
    bool Got(const std::string& target) const;

    // Used by the connections.
    Response Answer(const Request& request);
    void Hold(std::shared_ptr<void> connection);

private:
    void Accept();

    Handler handler;
    boost::asio::io_context context;
    boost::asio::ip::tcp::acceptor acceptor;
    mutable std::mutex mutex;
    std::vector<Request> received;
    std::vector<std::shared_ptr<void>> held;
    std::thread thread;
};

} // namespace OrvoTest

#endif
