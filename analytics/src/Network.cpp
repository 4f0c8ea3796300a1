#include "analytics/Network.h"

#include "analytics/Constants.h"
#include "analytics/TallyLogger.h"
#include "platform/foundation/DispatchQueue.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

namespace tally {

namespace {

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Query names and values: unreserved characters and the sub-delimiters that carry no meaning
// between items stay; everything else, "+", "&" and "=" among them, is percent-encoded.
std::string encodeQueryPart(const std::string& text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        const bool keep = std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '!' || c == '$' ||
                          c == '\'' || c == '(' || c == ')' || c == '*' || c == ',' || c == ';' || c == ':' ||
                          c == '@' || c == '/' || c == '?';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

void ensureCurl()
{
    static const bool initialised = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)initialised;
}

// The shared client's queue: requests block one of its threads each; callbacks run there too.
foundation::DispatchQueue& callbackQueue()
{
    static auto* queue = new foundation::DispatchQueue(std::string(tallyLabelPrefix) + ".network",
                                                       foundation::DispatchQueue::Kind::Concurrent);
    return *queue;
}

struct Transfer {
    std::string body;
    HTTPResponse response;
    bool sawStatus = false;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user)
{
    static_cast<Transfer*>(user)->body.append(data, size * count);
    return size * count;
}

std::size_t writeHeader(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (line.rfind("HTTP/", 0) == 0) {
        // A new status line (after a 100 Continue, say) starts a new set of headers.
        transfer->response.headers.clear();
        transfer->sawStatus = true;
        return size * count;
    }
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        const auto first = value.find_first_not_of(" \t");
        value = first == std::string::npos ? std::string() : value.substr(first);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
            value.pop_back();
        }
        transfer->response.headers[lowercase(line.substr(0, colon))] = value;
    }
    return size * count;
}

std::string noProxyList()
{
    std::string list = "localhost,127.0.0.1,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (const char* value = std::getenv(name); value && *value) {
            list = std::string(value) + "," + list;
            break;
        }
    }
    return list;
}

} // namespace

std::string rawValue(RequestMethod method) { return method == RequestMethod::get ? "get" : "post"; }

std::optional<RequestMethod> requestMethod(const std::string& raw)
{
    if (raw == "get") {
        return RequestMethod::get;
    }
    if (raw == "post") {
        return RequestMethod::post;
    }
    return std::nullopt;
}

std::optional<std::string> HTTPResponse::header(const std::string& name) const
{
    const auto it = headers.find(lowercase(name));
    return it == headers.end() ? std::nullopt : std::optional<std::string>(it->second);
}

std::string Reason::description() const
{
    switch (kind) {
    case Kind::notOKStatusCode:
        return "notOKStatusCode(statusCode: " + std::to_string(statusCode) + ")";
    case Kind::other:
        return "other(" + error + ")";
    case Kind::parseError:
        return "parseError";
    case Kind::noData:
        return "noData";
    }
    return "noData";
}

const std::string& BasePath::DefaultTallyAPI()
{
    static const std::string address = "https://api.tally.thwacko.app";
    return address;
}

std::optional<std::string> BasePath::buildURL(const std::string& base, const std::string& path,
                                              const std::optional<std::vector<URLQueryItem>>& queryItems)
{
    ensureCurl();
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    char* scheme = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const std::string schemeText = lowercase(scheme);
    curl_free(scheme);
    if (schemeText != "https" && schemeText != "http") {
        return std::nullopt;
    }
    // curl reports an absent path as "/"; a base written without one gets the path as it is.
    std::string basePath;
    const auto afterScheme = base.find("://");
    const auto pathStart = afterScheme == std::string::npos ? std::string::npos : base.find('/', afterScheme + 3);
    if (pathStart != std::string::npos) {
        char* existing = nullptr;
        if (curl_url_get(url.get(), CURLUPART_PATH, &existing, 0) == CURLUE_OK) {
            basePath = existing;
            curl_free(existing);
        }
    }
    const std::string fullPath = basePath + path;
    if (curl_url_set(url.get(), CURLUPART_PATH, fullPath.empty() ? "/" : fullPath.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    curl_url_set(url.get(), CURLUPART_QUERY, nullptr, 0);
    curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
    char* assembled = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &assembled, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    std::string out(assembled);
    curl_free(assembled);
    // The query is appended as written here: curl would rewrite "%2B" as "%2b".
    if (queryItems) {
        std::string query;
        for (const auto& item : *queryItems) {
            if (!query.empty()) {
                query += '&';
            }
            query += encodeQueryPart(item.name);
            if (item.value) {
                query += '=' + encodeQueryPart(*item.value);
            }
        }
        out += '?' + query;
    }
    return out;
}

Network::Network(std::string serverURL)
    : url(std::move(serverURL))
{
}

std::string Network::serverURL() const
{
    const std::lock_guard lock(urlLock);
    return url;
}

void Network::setServerURL(std::string newURL)
{
    const std::lock_guard lock(urlLock);
    url = std::move(newURL);
}

bool Network::send(const std::string& base, const std::string& path, RequestMethod method,
                   const std::optional<std::string>& body, const std::optional<std::vector<URLQueryItem>>& queryItems,
                   const std::map<std::string, std::string>& headers, std::chrono::milliseconds timeout,
                   Completion completion)
{
    const auto url = BasePath::buildURL(base, path, queryItems);
    if (!url) {
        return false;
    }
    TALLY_LOG_DEBUG("Fetching URL");
    TALLY_LOG_DEBUG(*url);
    callbackQueue().async([url = *url, method, body, headers, timeout, completion = std::move(completion)] {
        CURL* curl = curl_easy_init();
        if (!curl) {
            completion(std::nullopt, std::nullopt, std::string("cannot start a transfer"));
            return;
        }
        Transfer transfer;
        curl_slist* headerList = nullptr;
        for (const auto& [name, value] : headers) {
            headerList = curl_slist_append(headerList, (name + ": " + value).c_str());
        }
        // No "Expect: 100-continue" round trip before the body.
        headerList = curl_slist_append(headerList, "Expect:");
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(curl, CURLOPT_NOPROXY, noProxyList().c_str());
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, writeHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
        if (method == RequestMethod::post) {
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body ? body->size() : 0));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body ? body->data() : "");
        } else {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        }
        const CURLcode result = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_slist_free_all(headerList);
        curl_easy_cleanup(curl);
        if (result != CURLE_OK && (status == 0 || result == CURLE_OPERATION_TIMEDOUT)) {
            completion(std::nullopt, std::nullopt, std::string(curl_easy_strerror(result)));
            return;
        }
        if (status == 0) {
            completion(std::nullopt, std::nullopt, std::nullopt);
            return;
        }
        transfer.response.statusCode = status;
        completion(transfer.body, transfer.response, std::nullopt);
    });
    return true;
}

} // namespace tally
