#include "SysfsFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace hid::detail {

std::optional<std::string> readSmallFile(const std::filesystem::path& path, int* errorNumber)
{
    constexpr std::size_t limit = 64 * 1024;
    const auto failed = [errorNumber](int error) -> std::optional<std::string> {
        if (errorNumber) {
            *errorNumber = error;
        }
        return std::nullopt;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return failed(errno);
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || content.size() + static_cast<std::size_t>(n) > limit) {
            const int error = n < 0 ? errno : EFBIG;
            ::close(fd);
            return failed(error);
        }
        if (n == 0) {
            break;
        }
        content.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view space = " \t\r\n";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::optional<std::int64_t> parseInteger(std::string_view text)
{
    text = trimmed(text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseNumber(std::string_view text)
{
    text = trimmed(text);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<std::uint64_t>> numberedEntries(const std::filesystem::path& folder, std::string_view prefix,
                                                          int& errorNumber)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        errorNumber = errno;
        return std::nullopt;
    }
    std::vector<std::uint64_t> numbers;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) {
            continue;
        }
        const std::string_view digits = name.substr(prefix.size());
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        std::uint64_t number = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error == std::errc() && end == digits.data() + digits.size()) {
            numbers.push_back(number);
        }
    }
    ::closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

ReturnCode numberedServices(std::string_view className, const std::filesystem::path& folder, std::string_view prefix,
                            std::vector<ServiceId>& services, const std::function<bool(std::uint64_t)>& keep)
{
    services.clear();
    if (className != kSensorServiceClass) {
        return kSuccess;
    }
    int error = 0;
    const auto numbers = numberedEntries(folder, prefix, error);
    if (!numbers) {
        return error == ENOENT ? kSuccess : -error;
    }
    for (const std::uint64_t number : *numbers) {
        if (keep(number)) {
            services.push_back(number);
        }
    }
    return kSuccess;
}

} // namespace hid::detail
