#pragma once

#include "Models/SoundPackType.h"
#include "platform/foundation/Bundle.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

/// The clips of one sound mode, in file-name order, with the mode's way of picking one.
///
/// A value: copied on assignment. The loaders run synchronously on the caller's thread and
/// report failures as one line on standard output (the custom loader also returns the reason).
class SoundPack {
public:
    /// A pack of `type` holding `files`; its play mode is the type's, and it is custom exactly for `custom`.
    explicit SoundPack(SoundPackType type, std::vector<std::filesystem::path> files = {});

    SoundPackType type() const { return type_; }
    PlayMode mode() const { return mode_; }
    /// The clips, in file-name order (escalation indexes this list from the front).
    const std::vector<std::filesystem::path>& files() const { return files_; }
    bool isCustom() const { return isCustom_; }

    /// Fills files() from the folder "Audio/<raw value>" of `bundle`'s resources. Does nothing for the custom pack.
    void loadBundledFiles(const foundation::Bundle& bundle = foundation::Bundle::main());
    /// Fills files() from `folder`; leaves them unchanged when the folder cannot be listed, and
    /// returns why (such as "Permission denied").
    std::optional<std::string> loadCustomFiles(const std::filesystem::path& folder);

private:
    SoundPackType type_;
    PlayMode mode_;
    std::vector<std::filesystem::path> files_;
    bool isCustom_;
};

/// The lid clips below the resource folder "Audio/lid".
struct LidCreakBundledSounds {
    LidCreakBundledSounds() = delete;

    /// "open.mp3" when `opened`, else "close.mp3": the bundle's resource when it exists, otherwise its
    /// path below the resource folder without checking it. nullopt only when there is no resource folder.
    static std::optional<std::filesystem::path> url(bool opened,
                                                    const foundation::Bundle& bundle = foundation::Bundle::main());
};
