#include "analytics/Gzip.h"

#include "analytics/Constants.h"
#include "analytics/TallyLogger.h"

#include <zlib.h>

#include <charconv>
#include <cmath>

namespace tally {

namespace {

std::string decimal(double value)
{
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value);
    std::string out(text, written.ptr);
    if (out.find_first_of(".en") == std::string::npos) {
        out += ".0";
    }
    return out;
}

} // namespace

GzipError::GzipError(std::int32_t code)
    : status(code)
{
    switch (code) {
    case Z_STREAM_ERROR:
        kind = Case::stream;
        text = "stream";
        break;
    case Z_DATA_ERROR:
        kind = Case::data;
        text = "data";
        break;
    case Z_MEM_ERROR:
        kind = Case::memory;
        text = "memory";
        break;
    case Z_BUF_ERROR:
        kind = Case::buffer;
        text = "buffer";
        break;
    case Z_VERSION_ERROR:
        kind = Case::version;
        text = "version";
        break;
    default:
        kind = Case::unknown;
        text = "unknown(code: " + std::to_string(code) + ")";
        break;
    }
}

std::string gzipCompressed(const std::string& data, std::int32_t level)
{
    if (data.empty()) {
        TALLY_LOG_WARN("Empty Data object cannot be compressed.");
        return {};
    }
    if (data.size() > UINT32_MAX) {
        throw GzipError(Z_BUF_ERROR);
    }
    const std::size_t inputLength = data.size();
    z_stream stream{};
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(inputLength);
    int status = deflateInit2(&stream, level, Z_DEFLATED, MAX_WBITS + GzipSettings::gzipHeaderOffset, MAX_MEM_LEVEL,
                              Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
        throw GzipError(status);
    }
    const std::size_t step = inputLength / 2;
    std::string output(step, '\0');
    do {
        if (stream.total_out >= output.size()) {
            output.resize(output.size() + std::max<std::size_t>(step, 1));
        }
        stream.next_out = reinterpret_cast<Bytef*>(output.data()) + stream.total_out;
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        status = deflate(&stream, Z_FINISH);
    } while (stream.avail_out == 0 && status == Z_OK);
    if (status != Z_STREAM_END) {
        deflateEnd(&stream);
        throw GzipError(status);
    }
    deflateEnd(&stream);
    output.resize(stream.total_out);

    const double ratio = static_cast<double>(output.size()) / static_cast<double>(inputLength);
    const double shownRatio = std::floor(ratio * 1000) / 1000;
    const double percentage = std::floor((1 - ratio) * 100 * 1000) / 1000;
    TALLY_LOG_INFO("Payload gzipped: original size = " + std::to_string(inputLength) + " bytes, compressed size = " +
                   std::to_string(output.size()) + " bytes, compression ratio = " + decimal(shownRatio) +
                   ", compression percentage = " + decimal(percentage) + "%");
    return output;
}

} // namespace tally
