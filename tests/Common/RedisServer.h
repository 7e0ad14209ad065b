#ifndef ORVO_TESTS_REDISSERVER_H
#define ORVO_TESTS_REDISSERVER_H

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>

#include "Common/ChildProcess.h"
#include "Common/FreePort.h"
#include "Common/TemporaryDirectory.h"
#include "queue/RedisConnection.h"

namespace OrvoTest {

// Debian's redis-server on 127.0.0.1 and a port of its own, its data in a
// temporary directory with the append-only file on and written at every
// command, so that a server killed and started again has every job and
// result it acknowledged. The destructor kills it.
class RedisServer {
public:
    RedisServer() : port(FreePort()) { Start(); }
    ~RedisServer() { Kill(); }

    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    // Starts the server and waits until it answers.
    void Start() {
        process = StartProgram({"/usr/bin/redis-server", "--port", std::to_string(port), "--bind", "127.0.0.1", "--dir",
                                directory.path, "--save", "", "--appendonly", "yes", "--appendfsync", "always"},
                               {}, directory.path + "/redis.out");
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!Answers()) {
            if (std::chrono::steady_clock::now() > end) {
                throw std::runtime_error("redis-server did not start: " + directory.Read("redis.out"));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Kills the server outright (SIGKILL) and waits for its end.
    void Kill() {
        connection.reset();
        if (process) {
            ::kill(process->Pid(), SIGKILL);
            process->Wait(10000);
            process.reset();
        }
    }

    std::string Url() const { return "redis://127.0.0.1:" + std::to_string(port); }

    // Runs a command on a connection of the test's own.
    Orvo::Queue::RedisReply Command(const std::vector<std::string>& arguments) {
        if (!connection) {
            connection.reset(new Orvo::Queue::RedisConnection(Orvo::Queue::RedisAddress::Parse(Url()), 5000));
        }
        try {
            return connection->Command(arguments);
        } catch (const Orvo::Queue::RedisError& e) {
            if (e.Lost()) {
                connection.reset();
            }
            throw;
        }
    }

private:
    bool Answers() {
        try {
            return Command({"PING"}).text == "PONG";
        } catch (const Orvo::Queue::RedisError&) {
            return false;
        }
    }

    const unsigned short port;
    TemporaryDirectory directory;
    std::unique_ptr<ChildProcess> process;
    std::unique_ptr<Orvo::Queue::RedisConnection> connection;
};

} // namespace OrvoTest

#endif
