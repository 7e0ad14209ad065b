#ifndef ORVO_TOOLS_QUEUE_REDISCONNECTION_H
#define ORVO_TOOLS_QUEUE_REDISCONNECTION_H

#include <stdexcept>
#include <string>
#include <vector>

struct redisContext;
struct redisReply;

namespace Orvo {
namespace Queue {

// Where a Redis server is: redis://HOST:PORT[/DB].
struct RedisAddress {
    std::string host;
    int port = 6379;
    int db = 0;

    // Throws std::invalid_argument saying what is wrong with url.
    static RedisAddress Parse(const std::string& url);
    std::string Text() const;
};

// A command the server refused (an error reply), or, with Lost(), a
// connection that failed: then the command may or may not have run, and
// the connection is of no further use. A server that cannot serve for a
// while (loading its data at start, busy with a script, its primary down)
// counts as lost too: the command did not run, and is to be tried again on
// a fresh connection once the caller has waited.
class RedisError : public std::runtime_error {
public:
    RedisError(const std::string& what, bool lost) : std::runtime_error(what), lost(lost) {}
    bool Lost() const { return lost; }

private:
    bool lost;
};

// One reply, copied out of hiredis's: a status or an error's text, a bulk
// string's bytes, an integer, an array of replies, or nil.
struct RedisReply {
    enum class Type { Nil, Integer, Text, Status, Array };
    Type type = Type::Nil;
    long long integer = 0;
    std::string text;
    std::vector<RedisReply> elements;

    bool Nil() const { return type == Type::Nil; }
};

// One blocking connection to a Redis server, for one thread at a time.
// Every call gives up after the time-out it was opened with (plus a
// blocking command's own wait).
class RedisConnection {
public:
    // Connects and selects the address's database; throws RedisError
    // (lost) when the server cannot be reached.
    RedisConnection(const RedisAddress& address, int timeoutMs);
    ~RedisConnection();

    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    // Runs one command of binary-safe arguments. An error reply throws
    // RedisError; a failed connection or a server that cannot serve for a
    // while throws it lost. blockMs is how long the command itself may
    // wait on the server (XREADGROUP's BLOCK).
    RedisReply Command(const std::vector<std::string>& arguments, int blockMs = 0);

private:
    void SetTimeout(int ms);

    redisContext* context;
    const int timeoutMs;
};

} // namespace Queue
} // namespace Orvo

#endif
