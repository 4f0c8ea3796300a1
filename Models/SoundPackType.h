#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

/// How a sound pack picks the clip for a slap.
enum class PlayMode {
    random,
    escalation,
};

/// "random" or "escalation".
std::string_view rawValue(PlayMode mode);

/// The sound modes the user can choose. The raw value names the mode's folder below the
/// resource folder "Audio" and is the analytics "sound_mode" value.
enum class SoundPackType {
    pain,
    sexy,
    halo,
    lizard,
    custom,
};

/// The raw value: the case's own name.
std::string_view rawValue(SoundPackType type);
/// The identity used for list rows: the raw value.
std::string_view id(SoundPackType type);
/// The name shown to the user ("Pain", ...).
std::string_view label(SoundPackType type);
/// The symbol name of the mode's icon.
std::string_view icon(SoundPackType type);
/// One sentence describing the mode.
std::string_view description(SoundPackType type);
/// The mode's default way of picking a clip.
PlayMode playMode(SoundPackType type);

/// The case of `E` (PlayMode or SoundPackType) whose raw value is `raw`; nullopt for any other string.
template <class E> std::optional<E> fromRawValue(std::string_view raw);
template <> std::optional<PlayMode> fromRawValue<PlayMode>(std::string_view raw);
template <> std::optional<SoundPackType> fromRawValue<SoundPackType>(std::string_view raw);

template <class E> struct EnumCases;
template <> struct EnumCases<PlayMode> {
    static constexpr std::array<PlayMode, 2> value{PlayMode::random, PlayMode::escalation};
};
template <> struct EnumCases<SoundPackType> {
    static constexpr std::array<SoundPackType, 5> value{
        SoundPackType::pain, SoundPackType::sexy, SoundPackType::halo, SoundPackType::lizard, SoundPackType::custom,
    };
};
/// Every case of `E`, in declaration order: allCases<SoundPackType>, allCases<PlayMode>.
template <class E> inline constexpr const auto& allCases = EnumCases<E>::value;
