#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tally {

struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;
    friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

enum class RequestMethod { get, post };
std::string rawValue(RequestMethod method);
std::optional<RequestMethod> requestMethod(const std::string& raw);

/// An HTTP answer: status and headers (names in lower case).
struct HTTPResponse {
    long statusCode = 0;
    std::map<std::string, std::string> headers;
    /// The value of header `name` (any case).
    std::optional<std::string> header(const std::string& name) const;
};

/// Why a request failed.
struct Reason {
    enum class Kind { notOKStatusCode, other, parseError, noData };
    Kind kind = Kind::noData;
    long statusCode = 0; ///< notOKStatusCode
    std::string error;   ///< other: the HTTP layer's description

    /// "notOKStatusCode(statusCode: 503)", "other(<error>)", "parseError", "noData".
    std::string description() const;
};

/// One request. The client sends only `Resource<std::int64_t>`.
template <typename T> struct Resource {
    std::string path;
    RequestMethod method = RequestMethod::post;
    std::optional<std::string> requestBody;
    std::optional<std::vector<URLQueryItem>> queryItems;
    std::map<std::string, std::string> headers;
    std::function<std::optional<T>(const std::string&)> parse;
};

/// The headers and query items a proxy server wants with every request.
struct ServerProxyResource {
    std::optional<std::vector<URLQueryItem>> queryItems;
    std::map<std::string, std::string> headers;
};

struct BasePath {
    /// The service's default base address.
    static const std::string& DefaultTallyAPI();
    /// `base` with `path` appended to its path and the query items percent-encoded ("+" as
    /// "%2B"); nullopt when `base` is not an absolute http or https URL.
    static std::optional<std::string> buildURL(const std::string& base, const std::string& path,
                                               const std::optional<std::vector<URLQueryItem>>& queryItems);
};

/// The HTTP layer: libcurl, TLS verification on, requests run on a shared background queue
/// whose threads also run the callbacks.
class Network {
public:
    explicit Network(std::string serverURL);
    virtual ~Network() = default;

    std::string serverURL() const;
    void setServerURL(std::string url);

    using Failure = std::function<void(const Reason&, const std::optional<std::string>& body,
                                       const std::optional<HTTPResponse>& response)>;

    /// Sends `resource` and returns at once; exactly one callback follows, unless no request can
    /// be built from `base`, and then neither does (the result is false).
    template <typename T>
    static bool apiRequest(const std::string& base, const Resource<T>& resource, Failure failure,
                           std::function<void(const T&, const std::optional<HTTPResponse>&)> success,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        auto parse = resource.parse;
        return send(base, resource.path, resource.method, resource.requestBody, resource.queryItems, resource.headers,
                    timeout,
                    [parse, failure = std::move(failure), success = std::move(success)](
                        const std::optional<std::string>& body, const std::optional<HTTPResponse>& response,
                        const std::optional<std::string>& error) {
            if (!response) {
                failure(error ? Reason{Reason::Kind::other, 0, *error} : Reason{}, body, response);
            } else if (response->statusCode != 200) {
                failure(Reason{Reason::Kind::notOKStatusCode, response->statusCode, {}}, body, response);
            } else if (!body) {
                failure(Reason{}, body, response);
            } else if (auto parsed = parse ? parse(*body) : std::nullopt) {
                success(*parsed, response);
            } else {
                failure(Reason{Reason::Kind::parseError, 0, {}}, body, response);
            }
        });
    }

    template <typename T>
    static Resource<T> buildResource(std::string path, RequestMethod method, std::optional<std::string> requestBody,
                                     std::optional<std::vector<URLQueryItem>> queryItems,
                                     std::map<std::string, std::string> headers,
                                     std::function<std::optional<T>(const std::string&)> parse)
    {
        return Resource<T>{std::move(path),    method,          std::move(requestBody), std::move(queryItems),
                           std::move(headers), std::move(parse)};
    }

private:
    using Completion =
        std::function<void(const std::optional<std::string>& body, const std::optional<HTTPResponse>& response,
                           const std::optional<std::string>& error)>;
    static bool send(const std::string& base, const std::string& path, RequestMethod method,
                     const std::optional<std::string>& body, const std::optional<std::vector<URLQueryItem>>& queryItems,
                     const std::map<std::string, std::string>& headers, std::chrono::milliseconds timeout,
                     Completion completion);

    mutable std::mutex urlLock;
    std::string url;
};

} // namespace tally
