#pragma once

#include "analytics/EntityRecord.h"

#include <optional>
#include <string>

namespace tally {

/// Records to JSON and back. Before writing, values are made JSON-compatible: Booleans stay
/// Booleans, NaN and infinities become "nan", "inf" and "-inf", dates become UTC text with
/// milliseconds ("2024-01-02T03:04:05.678Z"), URLs their text, absent values null in dictionaries
/// and dropped from lists. Independent of the process locale. Failures are logged warnings and
/// nullopt; nothing throws. Byte buffers are `std::string`.
class JSONHandler {
public:
    /// The JSON text of a batch, as it goes out.
    static std::optional<std::string> encodeAPIData(const EntityBatch& batch);
    static std::optional<std::string> encodeAPIData(const TallyType& value);
    /// The UTF-8 bytes of the value's JSON; nullopt unless the top level is a list or dictionary.
    static std::optional<std::string> serializeJSONObject(const TallyType& value);
    /// The decoded value: objects become `Properties`, arrays `TallyArray`, strings `String`,
    /// numbers and true/false `NSNumber`, null `NSNull`. Nullopt unless the top level is an
    /// array or object.
    static std::optional<TallyType> deserializeData(const std::string& data);

    /// The date's JSON text form.
    static std::string dateText(foundation::Date date);

    JSONHandler() = delete;
};

} // namespace tally
