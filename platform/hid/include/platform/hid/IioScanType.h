#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace hid {

/// How one channel of an IIO buffer sample is stored, from its scan_elements `_type` file:
/// "[be|le]:[s|u]bits/storagebits[Xrepeat]>>shift", e.g. "le:s16/16>>0" or "be:s12/16>>4".
struct IioScanType {
    bool bigEndian = false;
    bool isSigned = false;
    unsigned bits = 0;        ///< significant bits, 1..64
    unsigned storageBits = 0; ///< 8, 16, 32 or 64
    unsigned repeat = 1;
    unsigned shift = 0;

    std::size_t storageBytes() const { return storageBits / 8 * repeat; }
    /// The channel's value from its storage at `bytes` (storageBits / 8 bytes): shifted right,
    /// cut to `bits` and sign-extended when signed.
    std::int64_t decode(const std::uint8_t* bytes) const;
    bool operator==(const IioScanType&) const = default;
};

/// Parses a `_type` file's content (trailing white space allowed); nullopt for anything else.
std::optional<IioScanType> parseIioScanType(std::string_view text);

} // namespace hid
