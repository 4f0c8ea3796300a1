#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

/// Recordings of input reports with their times, in the replay file format (see
/// platform/hid/replay/FORMAT.md).
namespace hid {

/// One recorded report: its time since the start of the recording and its bytes in the
/// recording's data.
struct ReplayRecord {
    std::uint32_t timeUs = 0;
    std::uint32_t offset = 0;
    std::uint16_t length = 0;
};

/// A recording: reports in time order, and the span after which playback starts over.
struct Recording {
    /// Playback time of one pass in microseconds; every report's time is below it.
    std::uint32_t durationUs = 0;
    std::vector<ReplayRecord> records;
    std::vector<std::uint8_t> data;

    /// The bytes of `record`.
    std::span<const std::uint8_t> bytes(const ReplayRecord& record) const
    {
        return std::span<const std::uint8_t>(data).subspan(record.offset, record.length);
    }
    /// Appends a report at `timeUs` (callers keep times non-decreasing).
    void append(std::uint32_t timeUs, std::span<const std::uint8_t> report);
};

enum class ReplayError {
    None,
    CannotRead,         ///< the file is missing, unreadable or too large
    BadMagic,           ///< not a replay file
    UnsupportedVersion, ///< a version this build does not read
    BadHeader,          ///< a reserved field set, no records or a zero duration
    Truncated,          ///< the file ends inside the header or a record
    BadRecord,          ///< a record of length 0, out of time order, or at or past the duration
    TrailingBytes,      ///< bytes after the last record
};

struct ReplayParseResult {
    std::optional<Recording> recording;
    ReplayError error = ReplayError::None;
};

inline constexpr std::uint16_t kReplayFormatVersion = 1;
/// Files larger than this are refused rather than read into memory.
inline constexpr std::uintmax_t kMaxReplayFileSize = 64u * 1024u * 1024u;

/// Parses a whole replay file held in memory.
ReplayParseResult parseRecording(std::span<const std::uint8_t> file);
/// Reads and parses the replay file at `path`.
ReplayParseResult loadRecording(const std::filesystem::path& path);
/// The replay file of `recording` (which callers keep valid: times in order and below the duration).
std::vector<std::uint8_t> serializeRecording(const Recording& recording);
/// A short English description of `error`, for logs.
std::string_view describe(ReplayError error);

} // namespace hid
