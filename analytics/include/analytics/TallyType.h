#pragma once

#include "platform/foundation/Date.h"

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace tally {

class TallyType;

/// The `Array` kind, and the element list of `NSArray`.
using TallyArray = std::vector<TallyType>;
/// The `Dictionary` kind: a property dictionary.
using Properties = std::map<std::string, TallyType>;

/// The platform string object: text that is not a plain `String` (each counts as the other).
struct NSString {
    std::string value;
    friend bool operator==(const NSString&, const NSString&) = default;
};

/// The platform number object, boxing an integer, floating-point or Boolean number.
class NSNumber {
public:
    using Storage = std::variant<std::int64_t, std::uint64_t, double, bool>;

    template <std::same_as<bool> B>
    explicit NSNumber(B value)
        : number(value)
    {
    }
    template <std::integral I>
    requires(!std::same_as<I, bool>) explicit NSNumber(I value)
    {
        if constexpr (std::is_signed_v<I>) {
            number = static_cast<std::int64_t>(value);
        } else {
            number = static_cast<std::uint64_t>(value);
        }
    }
    explicit NSNumber(double value)
        : number(value)
    {
    }

    const Storage& storage() const { return number; }
    bool isBoolean() const { return std::holds_alternative<bool>(number); }
    double doubleValue() const;
    /// The number as that kind when it converts without loss.
    std::optional<std::int64_t> exactInt() const;
    std::optional<std::uint64_t> exactUInt() const;
    std::optional<double> exactDouble() const;
    std::optional<float> exactFloat() const;
    std::optional<bool> exactBool() const;
    /// Equal by value across widths (1 equals 1.0); NaN equals nothing.
    bool isEqual(const NSNumber& other) const;

private:
    Storage number{std::int64_t{0}};
};

struct URL {
    std::string absoluteString;
    friend bool operator==(const URL&, const URL&) = default;
};

struct NSNull {
    friend bool operator==(const NSNull&, const NSNull&) = default;
};

/// The platform array object.
struct NSArray {
    TallyArray elements;
};

/// Nothing, or one wrapped value.
class TallyOptional {
public:
    TallyOptional() = default;
    explicit TallyOptional(TallyType value);

    bool hasValue() const { return wrapped != nullptr; }
    /// The wrapped value; only when `hasValue()`.
    const TallyType& value() const { return *wrapped; }

private:
    std::shared_ptr<const TallyType> wrapped;
};

/// A property value: one of fifteen kinds. Built implicitly from text (a `const char*` is text,
/// never a Boolean), integers of any width (signed as `Int`, unsigned as `UInt`), `double`,
/// `float`, `bool`, dates, lists and dictionaries.
class TallyType {
public:
    enum class Kind {
        Optional,
        String,
        NSString,
        NSNumber,
        Int,
        UInt,
        Double,
        Float,
        Bool,
        Date,
        URL,
        NSNull,
        Array,
        NSArray,
        Dictionary
    };
    using Value = std::variant<TallyOptional, std::string, NSString, NSNumber, std::int64_t, std::uint64_t, double,
                               float, bool, foundation::Date, URL, NSNull, TallyArray, NSArray, Properties>;

    /// The absent optional.
    TallyType() = default;
    TallyType(std::nullopt_t) {}
    TallyType(TallyOptional v)
        : value(std::move(v))
    {
    }
    TallyType(std::string v)
        : value(std::move(v))
    {
    }
    TallyType(std::string_view v)
        : value(std::string(v))
    {
    }
    TallyType(const char* v)
        : value(std::string(v))
    {
    }
    TallyType(NSString v)
        : value(std::move(v))
    {
    }
    TallyType(NSNumber v)
        : value(std::move(v))
    {
    }
    template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char> && !std::same_as<I, char8_t> &&
             !std::same_as<I, char16_t> && !std::same_as<I, char32_t> && !std::same_as<I, wchar_t>) TallyType(I v)
    {
        if constexpr (std::is_signed_v<I>) {
            value = static_cast<std::int64_t>(v);
        } else {
            value = static_cast<std::uint64_t>(v);
        }
    }
    TallyType(double v)
        : value(v)
    {
    }
    TallyType(float v)
        : value(v)
    {
    }
    template <std::same_as<bool> B>
    TallyType(B v)
        : value(static_cast<bool>(v))
    {
    }
    TallyType(foundation::Date v)
        : value(v)
    {
    }
    TallyType(URL v)
        : value(std::move(v))
    {
    }
    TallyType(NSNull v)
        : value(v)
    {
    }
    TallyType(TallyArray v)
        : value(std::move(v))
    {
    }
    TallyType(NSArray v)
        : value(std::move(v))
    {
    }
    TallyType(Properties v)
        : value(std::move(v))
    {
    }

    Kind kind() const { return static_cast<Kind>(value.index()); }
    const Value& storage() const { return value; }
    template <typename T> const T* get() const { return std::get_if<T>(&value); }
    template <typename T> bool is() const { return std::holds_alternative<T>(value); }

    /// Whether the value may be sent: numbers must be finite (at the top level and inside an
    /// optional); lists and dictionaries hold property values by construction.
    bool isValidNestedTypeAndValue() const;
    /// The kind-aware equality: `Int` 1 is not `Double` 1.0, NaN equals nothing, an absent
    /// optional equals nothing.
    bool equals(const TallyType& rhs) const;

    /// "String", "Int", "Dictionary", ...
    std::string typeName() const;
    /// The value's ordinary text form, for messages.
    std::string description() const;

private:
    Value value;
};

/// Reports each invalid value through `TLAssert`; the dictionary is left as it is.
void assertPropertyTypes(const std::optional<Properties>& properties);
void assertPropertyTypes(const Properties* properties);

} // namespace tally
