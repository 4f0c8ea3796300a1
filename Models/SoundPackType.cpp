#include "Models/SoundPackType.h"

namespace {

struct TypeInfo {
    SoundPackType type;
    std::string_view raw;
    std::string_view label;
    std::string_view icon;
    PlayMode playMode;
    std::string_view description;
};

constexpr std::array<TypeInfo, 5> typeTable{{
    {SoundPackType::pain, "pain", "Pain", "hand.raised.fill", PlayMode::random,
     "Yells \"ow!\" when you slap the laptop"},
    {SoundPackType::sexy, "sexy", "Sexy", "heart.fill", PlayMode::escalation,
     "Escalating responses \u2014 the more you slap, the more intense"},
    {SoundPackType::halo, "halo", "Halo", "sparkles", PlayMode::random, "Random Halo death sounds on each slap"},
    {SoundPackType::lizard, "lizard", "Lizard", "lizard.fill", PlayMode::escalation, "Escalating lizard sounds"},
    {SoundPackType::custom, "custom", "Custom", "folder.fill", PlayMode::random, "Your own MP3 files"},
}};

const TypeInfo& info(SoundPackType type) { return typeTable[static_cast<std::size_t>(type)]; }

} // namespace

std::string_view rawValue(PlayMode mode) { return mode == PlayMode::escalation ? "escalation" : "random"; }

template <> std::optional<PlayMode> fromRawValue<PlayMode>(std::string_view raw)
{
    for (PlayMode mode : allCases<PlayMode>) {
        if (rawValue(mode) == raw) {
            return mode;
        }
    }
    return std::nullopt;
}

std::string_view rawValue(SoundPackType type) { return info(type).raw; }

std::string_view id(SoundPackType type) { return info(type).raw; }

std::string_view label(SoundPackType type) { return info(type).label; }

std::string_view icon(SoundPackType type) { return info(type).icon; }

std::string_view description(SoundPackType type) { return info(type).description; }

PlayMode playMode(SoundPackType type) { return info(type).playMode; }

template <> std::optional<SoundPackType> fromRawValue<SoundPackType>(std::string_view raw)
{
    for (const TypeInfo& entry : typeTable) {
        if (entry.raw == raw) {
            return entry.type;
        }
    }
    return std::nullopt;
}
