#pragma once

#include <string>
#include <unistd.h>
#include <vector>

namespace audiotest {

/// The process's environment as it stands: the array, each entry's address and its text. Equal
/// snapshots mean nothing set, unset or replaced a variable in between.
struct EnvironmentSnapshot {
    char** array = nullptr;
    std::vector<const char*> entries;
    std::vector<std::string> texts;

    static EnvironmentSnapshot take()
    {
        EnvironmentSnapshot snapshot;
        snapshot.array = environ;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            snapshot.entries.push_back(*entry);
            snapshot.texts.emplace_back(*entry);
        }
        return snapshot;
    }

    bool operator==(const EnvironmentSnapshot&) const = default;
};

} // namespace audiotest
