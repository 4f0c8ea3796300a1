#include "platform/foundation/Uuid.h"

#include <cstdio>
#include <mutex>
#include <random>

namespace foundation {

Uuid Uuid::random()
{
    // One generator per thread, seeded from the OS: cheap per call and never shared unlocked.
    thread_local std::mt19937_64 engine{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    Uuid id;
    for (std::size_t i = 0; i < id.value.size(); i += 8) {
        const std::uint64_t word = engine();
        for (std::size_t b = 0; b < 8; ++b) {
            id.value[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
        }
    }
    id.value[6] = static_cast<std::uint8_t>((id.value[6] & 0x0F) | 0x40); // version 4
    id.value[8] = static_cast<std::uint8_t>((id.value[8] & 0x3F) | 0x80); // RFC 4122 variant
    return id;
}

std::string Uuid::toString() const
{
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", value[0],
                  value[1], value[2], value[3], value[4], value[5], value[6], value[7], value[8], value[9], value[10],
                  value[11], value[12], value[13], value[14], value[15]);
    return text;
}

} // namespace foundation
