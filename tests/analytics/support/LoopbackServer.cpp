#include "LoopbackServer.h"

#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace analyticstest {

namespace {

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

std::string ReceivedRequest::header(const std::string& name) const
{
    const auto it = headers.find(lowercase(name));
    return it == headers.end() ? std::string() : it->second;
}

std::string gunzip(const std::string& data)
{
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) {
        return {};
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char chunk[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END ? out : std::string();
}

LoopbackServer::LoopbackServer(std::function<Answer(const ReceivedRequest&, int)> respond)
    : server(std::make_unique<httplib::Server>())
    , respond(std::move(respond))
{
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        ReceivedRequest seen;
        seen.method = request.method;
        seen.path = request.path;
        seen.target = request.target;
        for (const auto& [name, value] : request.headers) {
            seen.headers[lowercase(name)] = value;
        }
        seen.body = request.body;
        int index = 0;
        {
            const std::lock_guard lock(mutex);
            index = static_cast<int>(received.size());
            received.push_back(seen);
        }
        arrived.notify_all();
        const Answer answer = this->respond ? this->respond(seen, index) : Answer{};
        if (answer.delay.count() > 0) {
            std::unique_lock lock(mutex);
            arrived.wait_for(lock, answer.delay, [this] { return stopping; });
        }
        response.status = answer.status;
        for (const auto& [name, value] : answer.headers) {
            response.set_header(name, value);
        }
        response.set_content(answer.body, "text/plain");
    };
    server->Post(".*", handler);
    server->Get(".*", handler);
    port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        throw std::runtime_error("cannot bind a loopback port");
    }
    thread = std::thread([this] { server->listen_after_bind(); });
    // stop() does nothing to a server that is not yet running, so wait for it to run.
    while (!server->is_running()) {
        std::this_thread::yield();
    }
}

LoopbackServer::~LoopbackServer()
{
    {
        const std::lock_guard lock(mutex);
        stopping = true;
    }
    arrived.notify_all();
    server->stop();
    thread.join();
}

std::string LoopbackServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port); }

std::vector<ReceivedRequest> LoopbackServer::requests() const
{
    const std::lock_guard lock(mutex);
    return received;
}

std::size_t LoopbackServer::requestCount() const
{
    const std::lock_guard lock(mutex);
    return received.size();
}

bool LoopbackServer::waitForRequests(std::size_t count, std::chrono::seconds limit) const
{
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return received.size() >= count; });
}

} // namespace analyticstest
