#pragma once

#include "analytics/TallyType.h"

#include <optional>
#include <string>

namespace tally {

/// Keyed archives (binary property lists with "$archiver", "$top" and "$objects"), read and
/// written with libplist. Decoding is defensive: object references are range-checked, nesting
/// is bounded, cycles and oversized expansions are refused, and only these classes are accepted:
/// NSArray, NSDictionary, NSSet, NSString, NSDate, NSURL, NSNumber, NSNull (and their mutable
/// forms). Strings decode as `String`, numbers and Booleans as `NSNumber`, sets as `Array`.
class KeyedArchive {
public:
    struct Decoded {
        bool failed = false;           ///< not a keyed archive, or a refused object
        std::optional<TallyType> root; ///< nullopt: the root object is nil
    };

    /// The archive of `root`; nullopt when it nests deeper than the decoder accepts. An absent
    /// optional inside a list or dictionary is archived as NSNull.
    static std::optional<std::string> archive(const TallyType& root);
    static Decoded unarchive(const std::string& bytes);

    /// The deepest nesting of lists and dictionaries that is written and read.
    static constexpr int deepestNesting = 100;

    KeyedArchive() = delete;
};

} // namespace tally
