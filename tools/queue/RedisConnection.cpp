#include "RedisConnection.h"

#include <hiredis.h>
#include <sys/time.h>

namespace Orvo {
namespace Queue {

namespace {

const char Scheme[] = "redis://";

timeval Duration(int ms) {
    timeval value{};
    value.tv_sec = ms / 1000;
    value.tv_usec = (ms % 1000) * 1000;
    return value;
}

int Number(const std::string& text, const std::string& what, int low, int high) {
    std::size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < low || value > high) {
        throw std::invalid_argument("no such " + what + ": '" + text + "'");
    }
    return value;
}

// Whether an error reply says the server cannot serve for now, by its
// code, the error's first word.
bool Passing(const std::string& error) {
    const std::string code = error.substr(0, error.find(' '));
    for (const char* passing : {"LOADING", "BUSY", "MASTERDOWN", "TRYAGAIN"}) {
        if (code == passing) {
            return true;
        }
    }
    return false;
}

RedisReply Copy(const redisReply& reply) {
    RedisReply copy;
    switch (reply.type) {
    case REDIS_REPLY_INTEGER:
        copy.type = RedisReply::Type::Integer;
        copy.integer = reply.integer;
        break;
    case REDIS_REPLY_STRING:
        copy.type = RedisReply::Type::Text;
        copy.text.assign(reply.str, reply.len);
        break;
    case REDIS_REPLY_STATUS:
        copy.type = RedisReply::Type::Status;
        copy.text.assign(reply.str, reply.len);
        break;
    case REDIS_REPLY_ARRAY:
        copy.type = RedisReply::Type::Array;
        for (std::size_t k = 0; k < reply.elements; ++k) {
            copy.elements.push_back(Copy(*reply.element[k]));
        }
        break;
    default:
        break;
    }
    return copy;
}

} // namespace

RedisAddress RedisAddress::Parse(const std::string& url) {
    if (url.compare(0, sizeof Scheme - 1, Scheme) != 0) {
        throw std::invalid_argument("a Redis address is redis://HOST:PORT[/DB], not '" + url + "'");
    }
    RedisAddress address;
    std::string rest = url.substr(sizeof Scheme - 1);
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        address.db = Number(rest.substr(slash + 1), "database", 0, 1 << 20);
        rest.resize(slash);
    }
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        address.port = Number(rest.substr(colon + 1), "port", 1, 65535);
        rest.resize(colon);
    }
    if (rest.empty()) {
        throw std::invalid_argument("a Redis address names its host: '" + url + "'");
    }
    address.host = rest;
    return address;
}

std::string RedisAddress::Text() const {
    return Scheme + host + ":" + std::to_string(port) + "/" + std::to_string(db);
}

RedisConnection::RedisConnection(const RedisAddress& address, int timeoutMs)
    : context(::redisConnectWithTimeout(address.host.c_str(), address.port, Duration(timeoutMs))),
      timeoutMs(timeoutMs) {
    if (context == nullptr || context->err != 0) {
        const std::string why = context == nullptr ? "out of memory" : context->errstr;
        ::redisFree(context);
        throw RedisError("cannot reach " + address.Text() + ": " + why, true);
    }
    SetTimeout(timeoutMs);
    if (address.db != 0) {
        Command({"SELECT", std::to_string(address.db)});
    }
}

RedisConnection::~RedisConnection() {
    ::redisFree(context);
}

void RedisConnection::SetTimeout(int ms) {
    ::redisSetTimeout(context, Duration(ms));
}

RedisReply RedisConnection::Command(const std::vector<std::string>& arguments, int blockMs) {
    if (context->err != 0) {
        throw RedisError(std::string("the connection failed before: ") + context->errstr, true);
    }
    std::vector<const char*> texts;
    std::vector<std::size_t> lengths;
    for (const std::string& argument : arguments) {
        texts.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    if (blockMs > 0) {
        SetTimeout(timeoutMs + blockMs);
    }
    void* raw = ::redisCommandArgv(context, static_cast<int>(texts.size()), texts.data(), lengths.data());
    if (blockMs > 0 && context->err == 0) {
        SetTimeout(timeoutMs);
    }
    if (raw == nullptr) {
        throw RedisError(std::string("the connection failed: ") + context->errstr, true);
    }
    redisReply* reply = static_cast<redisReply*>(raw);
    if (reply->type == REDIS_REPLY_ERROR) {
        const std::string message(reply->str, reply->len);
        ::freeReplyObject(reply);
        throw RedisError(message, Passing(message));
    }
    RedisReply copy = Copy(*reply);
    ::freeReplyObject(reply);
    return copy;
}

} // namespace Queue
} // namespace Orvo
