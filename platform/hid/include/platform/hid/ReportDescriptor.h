#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace hid {

/// The usage that names a HID device: that of its first top-level collection.
struct PrimaryUsage {
    std::uint32_t usagePage = 0;
    std::uint32_t usage = 0;
    bool operator==(const PrimaryUsage&) const = default;
};

/// Reads the primary usage from a HID report descriptor: the first Usage item before the first
/// Collection, on the Usage Page in effect at that Collection (Push and Pop honoured), unless
/// the Usage is a 4-byte item, whose high 16 bits are its page. Long items are skipped; locals
/// are cleared by every main item. nullopt when the descriptor has no such Collection and Usage
/// or ends inside an item before reaching them.
std::optional<PrimaryUsage> parsePrimaryUsage(std::span<const std::uint8_t> descriptor);

} // namespace hid
