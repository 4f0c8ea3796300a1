#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace tally {

/// A zlib failure while compressing.
class GzipError : public std::exception {
public:
    enum class Case { unknown, stream, data, memory, buffer, version };

    /// The case of a zlib status (-2 stream, -3 data, -4 memory, -5 buffer, -6 version; any
    /// other status, 0 and 1 included, is `unknown` with that code).
    explicit GzipError(std::int32_t code);

    Case errorCase() const { return kind; }
    std::int32_t code() const { return status; }
    /// "stream", ..., or "unknown(code: 0)".
    const char* what() const noexcept override { return text.c_str(); }

private:
    Case kind;
    std::int32_t status;
    std::string text;
};

/// `data` compressed into the gzip format (header, deflate data, CRC-32 and length); empty for
/// an empty input (with a warning). Logs sizes and ratio at info level. Throws `GzipError`.
std::string gzipCompressed(const std::string& data, std::int32_t level = -1);

} // namespace tally
