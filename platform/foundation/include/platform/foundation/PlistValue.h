#pragma once

#include "platform/foundation/Date.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace foundation {

struct PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<std::string, PlistValue>;
using PlistData = std::vector<std::uint8_t>;

/// One property-list value: what user defaults and Info.plist files hold.
struct PlistValue {
    using Storage = std::variant<bool, std::int64_t, double, std::string, PlistData, Date, PlistArray, PlistDictionary>;
    Storage value;

    PlistValue()
        : value(false)
    {
    }
    template <typename T>
    requires std::is_constructible_v<Storage, T&&> PlistValue(T&& v)
        : value(std::forward<T>(v))
    {
    }
    PlistValue(int v)
        : value(std::int64_t{v})
    {
    }
    PlistValue(const char* v)
        : value(std::string(v))
    {
    }

    template <typename T> bool is() const { return std::holds_alternative<T>(value); }
    template <typename T> const T* get() const { return std::get_if<T>(&value); }

    friend bool operator==(const PlistValue&, const PlistValue&) = default;
};

/// Result of reading a property-list file.
struct PlistReadResult {
    std::optional<PlistValue> value; ///< empty on failure
    std::string error;               ///< why it failed
};

/// Reads an XML or binary property list.
PlistReadResult readPlistFile(const std::filesystem::path& path);
/// Parses XML or binary property-list bytes.
PlistReadResult parsePlist(const std::string& bytes);
/// The two file forms. XML is readable but keeps dates to the whole second; binary keeps microseconds.
/// Either holds dates from 1933 to 2069 only (32-bit seconds from 2001); later or earlier ones are clamped.
enum class PlistFormat { Xml, Binary };

/// Serialises to XML property-list text.
std::string plistToXml(const PlistValue& value);
/// Serialises to binary property-list bytes.
std::string plistToBinary(const PlistValue& value);
/// Writes atomically: to a temporary file beside `path`, flushed to disk, then renamed over it; so a
/// reader sees the old or the new contents, never a part. Safe to call from several threads at once.
bool writePlistFileAtomically(const std::filesystem::path& path, const PlistValue& value, std::string* error = nullptr,
                              PlistFormat format = PlistFormat::Xml);

} // namespace foundation
