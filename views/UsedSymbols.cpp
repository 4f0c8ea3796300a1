#include "views/Symbols.h"

#include "Models/SoundPackType.h"

#include <algorithm>

// One list for the whole application: a view that starts using a symbol adds its name here, and
// the symbol test checks that each one draws.
const std::vector<std::string_view>& symbols::usedSymbolNames()
{
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> list{
            // Main window: header, status card, controls and statistics.
            "gearshape",
            "xmark.circle.fill",
            "play.fill",
            "stop.fill",
            "pause.fill",
            "hand.raised",
            "waveform.path",
            // Event logs.
            "tray",
            "externaldrive",
            "externaldrive.badge.xmark",
            "arrow.down.circle.fill",
            "eject.fill",
            "bolt.slash",
            "bolt.circle",
            "powerplug.portrait.fill",
            // Onboarding.
            "magnifyingglass.circle.fill",
            "checkmark.circle.fill",
            "hand.wave.fill",
            // Tray item, menu and settings sheet.
            "hand.raised.fill",
            "waveform.path.ecg",
            "moon.zzz",
            "pause.circle",
            "dot.radiowaves.left.and.right",
            "play.circle",
            "stop.circle",
            "macwindow",
            "power",
            "speaker.wave.3",
            "dial.low",
            "bolt.fill",
            "laptopcomputer",
            "info.circle",
        };
        for (SoundPackType type : allCases<SoundPackType>) {
            if (std::find(list.begin(), list.end(), icon(type)) == list.end()) {
                list.push_back(icon(type));
            }
        }
        return list;
    }();
    return names;
}
