#include "platform/hid/IioScanType.h"

#include "SysfsFile.h"

#include <charconv>

namespace hid {

namespace {

// Reads an unsigned decimal at the front of `text` and drops it from there.
std::optional<unsigned> takeNumber(std::string_view& text)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

bool takePrefix(std::string_view& text, std::string_view prefix)
{
    if (text.substr(0, prefix.size()) != prefix) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

} // namespace

std::optional<IioScanType> parseIioScanType(std::string_view text)
{
    text = detail::trimmed(text);
    IioScanType type;
    if (takePrefix(text, "be:")) {
        type.bigEndian = true;
    } else if (!takePrefix(text, "le:")) {
        return std::nullopt;
    }
    if (takePrefix(text, "s")) {
        type.isSigned = true;
    } else if (!takePrefix(text, "u")) {
        return std::nullopt;
    }
    const auto bits = takeNumber(text);
    if (!bits || !takePrefix(text, "/")) {
        return std::nullopt;
    }
    const auto storage = takeNumber(text);
    if (!storage) {
        return std::nullopt;
    }
    if (takePrefix(text, "X")) {
        const auto repeat = takeNumber(text);
        if (!repeat || *repeat == 0) {
            return std::nullopt;
        }
        type.repeat = *repeat;
    }
    if (!takePrefix(text, ">>")) {
        return std::nullopt;
    }
    const auto shift = takeNumber(text);
    if (!shift || !text.empty()) {
        return std::nullopt;
    }
    type.bits = *bits;
    type.storageBits = *storage;
    type.shift = *shift;
    const bool storageValid = *storage == 8 || *storage == 16 || *storage == 32 || *storage == 64;
    if (!storageValid || *bits == 0 || *bits + *shift > *storage) {
        return std::nullopt;
    }
    return type;
}

std::int64_t IioScanType::decode(const std::uint8_t* bytes) const
{
    const unsigned size = storageBits / 8;
    std::uint64_t word = 0;
    for (unsigned i = 0; i < size; ++i) {
        const unsigned at = bigEndian ? i : size - 1 - i;
        word = (word << 8) | bytes[at];
    }
    word >>= shift;
    if (bits < 64) {
        word &= (std::uint64_t{1} << bits) - 1;
        if (isSigned && (word >> (bits - 1)) & 1) {
            word |= ~((std::uint64_t{1} << bits) - 1);
        }
    }
    return static_cast<std::int64_t>(word);
}

} // namespace hid
