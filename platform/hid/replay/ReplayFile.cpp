#include "platform/hid/ReplayFile.h"

#include <cstring>
#include <fstream>
#include <system_error>

namespace hid {

namespace {

constexpr char kMagic[8] = {'T', 'H', 'W', 'K', 'R', 'P', 'L', 'Y'};
constexpr std::size_t kHeaderSize = 20;
constexpr std::size_t kRecordHeaderSize = 6;

std::uint32_t readLe(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
    }
    return value;
}

void writeLe(std::vector<std::uint8_t>& out, std::uint32_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

ReplayParseResult failure(ReplayError error) { return ReplayParseResult{std::nullopt, error}; }

} // namespace

void Recording::append(std::uint32_t timeUs, std::span<const std::uint8_t> report)
{
    records.push_back(
        ReplayRecord{timeUs, static_cast<std::uint32_t>(data.size()), static_cast<std::uint16_t>(report.size())});
    data.insert(data.end(), report.begin(), report.end());
}

ReplayParseResult parseRecording(std::span<const std::uint8_t> file)
{
    if (file.size() < sizeof kMagic || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0) {
        return failure(file.size() < sizeof kMagic ? ReplayError::Truncated : ReplayError::BadMagic);
    }
    if (file.size() < kHeaderSize) {
        return failure(ReplayError::Truncated);
    }
    if (readLe(file, 8, 2) != kReplayFormatVersion) {
        return failure(ReplayError::UnsupportedVersion);
    }
    const std::uint32_t count = readLe(file, 12, 4);
    Recording recording;
    recording.durationUs = readLe(file, 16, 4);
    if (readLe(file, 10, 2) != 0 || count == 0 || recording.durationUs == 0) {
        return failure(ReplayError::BadHeader);
    }
    // Every record takes at least 7 bytes: a count the file cannot hold is a truncation, and
    // must not size the allocation.
    if (count > (file.size() - kHeaderSize) / (kRecordHeaderSize + 1)) {
        return failure(ReplayError::Truncated);
    }
    recording.records.reserve(count);
    recording.data.reserve(file.size() - kHeaderSize - std::size_t{count} * kRecordHeaderSize);

    std::size_t at = kHeaderSize;
    std::uint32_t previousTimeUs = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (file.size() - at < kRecordHeaderSize) {
            return failure(ReplayError::Truncated);
        }
        const std::uint32_t timeUs = readLe(file, at, 4);
        const std::uint32_t length = readLe(file, at + 4, 2);
        at += kRecordHeaderSize;
        if (length == 0 || timeUs < previousTimeUs || timeUs >= recording.durationUs) {
            return failure(ReplayError::BadRecord);
        }
        if (file.size() - at < length) {
            return failure(ReplayError::Truncated);
        }
        recording.append(timeUs, file.subspan(at, length));
        at += length;
        previousTimeUs = timeUs;
    }
    if (at != file.size()) {
        return failure(ReplayError::TrailingBytes);
    }
    return ReplayParseResult{std::move(recording), ReplayError::None};
}

ReplayParseResult loadRecording(const std::filesystem::path& path)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > kMaxReplayFileSize) {
        return failure(ReplayError::CannotRead);
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!in || !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        return failure(ReplayError::CannotRead);
    }
    return parseRecording(bytes);
}

std::vector<std::uint8_t> serializeRecording(const Recording& recording)
{
    std::vector<std::uint8_t> out(std::begin(kMagic), std::end(kMagic));
    writeLe(out, kReplayFormatVersion, 2);
    writeLe(out, 0, 2);
    writeLe(out, static_cast<std::uint32_t>(recording.records.size()), 4);
    writeLe(out, recording.durationUs, 4);
    for (const ReplayRecord& record : recording.records) {
        writeLe(out, record.timeUs, 4);
        writeLe(out, record.length, 2);
        const auto bytes = recording.bytes(record);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

std::string_view describe(ReplayError error)
{
    switch (error) {
    case ReplayError::None:
        return "no error";
    case ReplayError::CannotRead:
        return "cannot read the file";
    case ReplayError::BadMagic:
        return "not a replay file";
    case ReplayError::UnsupportedVersion:
        return "unsupported format version";
    case ReplayError::BadHeader:
        return "invalid header";
    case ReplayError::Truncated:
        return "file is truncated";
    case ReplayError::BadRecord:
        return "invalid record";
    case ReplayError::TrailingBytes:
        return "unexpected bytes after the last record";
    }
    return "unknown error";
}

} // namespace hid
