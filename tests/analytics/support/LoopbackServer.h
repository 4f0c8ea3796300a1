#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace analyticstest {

/// One request as the server received it.
struct ReceivedRequest {
    std::string method;
    std::string path;   ///< without the query
    std::string target; ///< as sent: path and raw (still encoded) query
    std::map<std::string, std::string> headers;
    std::string body; ///< inflated by the server when it came gzip'd

    std::string header(const std::string& name) const;
};

/// What the server answers.
struct Answer {
    int status = 200;
    std::string body = "1";
    std::map<std::string, std::string> headers;
    /// Held this long before answering (for time-out tests).
    std::chrono::milliseconds delay{0};
};

/// A real HTTP server on 127.0.0.1 and a free port, answering every POST through `respond`
/// (default: 200 "1") and recording what it received.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<Answer(const ReceivedRequest&, int index)> respond = {});
    ~LoopbackServer();

    std::string baseURL() const;
    std::vector<ReceivedRequest> requests() const;
    std::size_t requestCount() const;
    /// Waits until `count` requests arrived (bounded generously); true when they did.
    bool waitForRequests(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(60)) const;

private:
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;
    std::function<Answer(const ReceivedRequest&, int)> respond;
    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<ReceivedRequest> received;
    bool stopping = false;
};

/// Inflates gzip data; empty on failure.
std::string gunzip(const std::string& data);

} // namespace analyticstest
