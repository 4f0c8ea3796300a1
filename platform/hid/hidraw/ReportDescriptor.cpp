#include "platform/hid/ReportDescriptor.h"

#include <vector>

namespace hid {

namespace {

enum ItemType : std::uint8_t { Main = 0, Global = 1, Local = 2 };

constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::uint8_t kTagCollection = 0xA; // main
constexpr std::uint8_t kTagUsagePage = 0x0;  // global
constexpr std::uint8_t kTagPush = 0xA;       // global
constexpr std::uint8_t kTagPop = 0xB;        // global
constexpr std::uint8_t kTagUsage = 0x0;      // local

struct FirstUsage {
    std::uint32_t value = 0;
    bool extended = false; // a 4-byte item: the page is in the high 16 bits
};

} // namespace

std::optional<PrimaryUsage> parsePrimaryUsage(std::span<const std::uint8_t> descriptor)
{
    std::uint32_t usagePage = 0;
    std::vector<std::uint32_t> pushedPages;
    // A flag beside a plain value rather than an optional: GCC's -O2 flow analysis takes an
    // optional's payload here for uninitialised.
    bool haveUsage = false;
    FirstUsage firstUsage;

    std::size_t at = 0;
    while (at < descriptor.size()) {
        const std::uint8_t prefix = descriptor[at];
        if (prefix == kLongItemPrefix) {
            if (at + 2 >= descriptor.size()) {
                return std::nullopt;
            }
            at += 3 + descriptor[at + 1];
            continue;
        }
        static constexpr std::size_t kDataSizes[] = {0, 1, 2, 4};
        const std::size_t size = kDataSizes[prefix & 0x3];
        const auto type = static_cast<std::uint8_t>((prefix >> 2) & 0x3);
        const auto tag = static_cast<std::uint8_t>(prefix >> 4);
        if (at + 1 + size > descriptor.size()) {
            return std::nullopt;
        }
        std::uint32_t data = 0;
        for (std::size_t i = 0; i < size; ++i) {
            data |= static_cast<std::uint32_t>(descriptor[at + 1 + i]) << (8 * i);
        }
        at += 1 + size;

        switch (type) {
        case Main:
            if (tag == kTagCollection) {
                if (!haveUsage) {
                    return std::nullopt;
                }
                if (firstUsage.extended) {
                    return PrimaryUsage{firstUsage.value >> 16, firstUsage.value & 0xFFFF};
                }
                return PrimaryUsage{usagePage, firstUsage.value};
            }
            haveUsage = false; // every main item ends the local items before it
            break;
        case Global:
            if (tag == kTagUsagePage) {
                usagePage = data;
            } else if (tag == kTagPush) {
                pushedPages.push_back(usagePage);
            } else if (tag == kTagPop && !pushedPages.empty()) {
                usagePage = pushedPages.back();
                pushedPages.pop_back();
            }
            break;
        case Local:
            if (tag == kTagUsage && !haveUsage) {
                firstUsage = FirstUsage{data, size == 4};
                haveUsage = true;
            }
            break;
        default:
            break;
        }
    }
    return std::nullopt;
}

} // namespace hid
