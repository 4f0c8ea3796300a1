#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace foundation {

/// An RFC 4122 UUID.
class Uuid {
public:
    /// The nil UUID (all zero).
    Uuid() = default;
    /// A new random version-4 UUID.
    static Uuid random();

    /// Upper-case 8-4-4-4-12 form, as the platform prints UUIDs.
    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return value; }

    friend bool operator==(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> value{};
};

} // namespace foundation
