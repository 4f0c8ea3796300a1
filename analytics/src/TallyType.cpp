#include "analytics/TallyType.h"

#include "analytics/TLAssert.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tally {

namespace {

template <class... F> struct Overloaded : F... {
    using F::operator()...;
};
template <class... F> Overloaded(F...) -> Overloaded<F...>;

// Kind tests look through a present optional, as a cast of a boxed optional does.
const TallyType& unwrapped(const TallyType& value)
{
    const TallyType* current = &value;
    while (const auto* optional = current->get<TallyOptional>()) {
        if (!optional->hasValue()) {
            break;
        }
        current = &optional->value();
    }
    return *current;
}

std::optional<std::string> asString(const TallyType& raw)
{
    const TallyType& v = unwrapped(raw);
    if (const auto* s = v.get<std::string>()) {
        return *s;
    }
    if (const auto* s = v.get<NSString>()) {
        return s->value;
    }
    return std::nullopt;
}

std::optional<NSNumber> asNumber(const TallyType& raw)
{
    const TallyType& v = unwrapped(raw);
    return std::visit(Overloaded{[](const NSNumber& n) -> std::optional<NSNumber> { return n; },
                                 [](std::int64_t i) -> std::optional<NSNumber> { return NSNumber(i); },
                                 [](std::uint64_t u) -> std::optional<NSNumber> { return NSNumber(u); },
                                 [](double d) -> std::optional<NSNumber> { return NSNumber(d); },
                                 [](float f) -> std::optional<NSNumber> { return NSNumber(static_cast<double>(f)); },
                                 [](bool b) -> std::optional<NSNumber> { return NSNumber(b); },
                                 [](const auto&) -> std::optional<NSNumber> { return std::nullopt; }},
                      v.storage());
}

template <typename T, typename Exact> std::optional<T> asValueKind(const TallyType& raw, Exact exact)
{
    const TallyType& v = unwrapped(raw);
    if (const auto* own = v.get<T>()) {
        return *own;
    }
    if (const auto* number = v.get<NSNumber>()) {
        return (number->*exact)();
    }
    return std::nullopt;
}

const TallyArray* asList(const TallyType& raw)
{
    const TallyType& v = unwrapped(raw);
    if (const auto* list = v.get<TallyArray>()) {
        return list;
    }
    if (const auto* list = v.get<NSArray>()) {
        return &list->elements;
    }
    return nullptr;
}

bool listEquals(const TallyArray& self, const TallyType& other)
{
    const TallyArray* rhs = asList(other);
    if (!rhs || rhs->size() != self.size()) {
        return false;
    }
    for (std::size_t i = 0; i < self.size(); ++i) {
        if (!self[i].equals((*rhs)[i])) {
            return false;
        }
    }
    return true;
}

bool dictionaryEquals(const Properties& self, const TallyType& other)
{
    const auto* rhs = unwrapped(other).get<Properties>();
    if (!rhs || rhs->size() != self.size()) {
        return false;
    }
    for (const auto& [key, value] : self) {
        const auto it = rhs->find(key);
        if (it == rhs->end() || !value.equals(it->second)) {
            return false;
        }
    }
    return true;
}

bool optionalEquals(const TallyOptional& self, const TallyType& other)
{
    if (!self.hasValue()) {
        return false;
    }
    const TallyType& wrapped = unwrapped(self.value());
    if (auto a = asString(wrapped)) {
        if (auto b = asString(other)) {
            return *a == *b;
        }
    }
    if (auto a = asNumber(wrapped)) {
        if (auto b = asNumber(other)) {
            return a->isEqual(*b);
        }
    }
    if (const auto* a = wrapped.get<foundation::Date>()) {
        if (const auto* b = unwrapped(other).get<foundation::Date>()) {
            return *a == *b;
        }
    }
    if (const auto* a = wrapped.get<URL>()) {
        if (const auto* b = unwrapped(other).get<URL>()) {
            return *a == *b;
        }
    }
    return wrapped.is<NSNull>() && unwrapped(other).is<NSNull>();
}

std::string numberText(double d)
{
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, d);
    return std::string(text, written.ptr);
}

std::string numberText(const NSNumber& n)
{
    return std::visit(Overloaded{[](bool b) { return std::string(b ? "1" : "0"); },
                                 [](double d) { return numberText(d); }, [](auto i) { return std::to_string(i); }},
                      n.storage());
}

} // namespace

double NSNumber::doubleValue() const
{
    return std::visit([](auto v) { return static_cast<double>(v); }, number);
}

std::optional<std::int64_t> NSNumber::exactInt() const
{
    return std::visit(Overloaded{[](std::int64_t i) -> std::optional<std::int64_t> { return i; },
                                 [](std::uint64_t u) -> std::optional<std::int64_t> {
                                     if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                                         return std::nullopt;
                                     }
                                     return static_cast<std::int64_t>(u);
                                 },
                                 [](double d) -> std::optional<std::int64_t> {
                                     if (!std::isfinite(d) || d != std::trunc(d) || d < -0x1p63 || d >= 0x1p63) {
                                         return std::nullopt;
                                     }
                                     return static_cast<std::int64_t>(d);
                                 },
                                 [](bool b) -> std::optional<std::int64_t> { return b ? 1 : 0; }},
                      number);
}

std::optional<std::uint64_t> NSNumber::exactUInt() const
{
    return std::visit(Overloaded{[](std::int64_t i) -> std::optional<std::uint64_t> {
                                     if (i < 0) {
                                         return std::nullopt;
                                     }
                                     return static_cast<std::uint64_t>(i);
                                 },
                                 [](std::uint64_t u) -> std::optional<std::uint64_t> { return u; },
                                 [](double d) -> std::optional<std::uint64_t> {
                                     if (!std::isfinite(d) || d != std::trunc(d) || d < 0 || d >= 0x1p64) {
                                         return std::nullopt;
                                     }
                                     return static_cast<std::uint64_t>(d);
                                 },
                                 [](bool b) -> std::optional<std::uint64_t> { return b ? 1u : 0u; }},
                      number);
}

std::optional<double> NSNumber::exactDouble() const
{
    return std::visit(Overloaded{[](double d) -> std::optional<double> { return d; },
                                 [](bool b) -> std::optional<double> { return b ? 1.0 : 0.0; },
                                 [](auto i) -> std::optional<double> {
                                     const double d = static_cast<double>(i);
                                     if (d >= 0x1p64 || d < -0x1p63 || static_cast<decltype(i)>(d) != i) {
                                         return std::nullopt;
                                     }
                                     return d;
                                 }},
                      number);
}

std::optional<float> NSNumber::exactFloat() const
{
    const auto d = exactDouble();
    if (!d) {
        return std::nullopt;
    }
    const float f = static_cast<float>(*d);
    if (std::isnan(*d)) {
        return f;
    }
    if (static_cast<double>(f) != *d) {
        return std::nullopt;
    }
    return f;
}

std::optional<bool> NSNumber::exactBool() const
{
    if (const bool* b = std::get_if<bool>(&number)) {
        return *b;
    }
    const auto i = exactInt();
    if (i && (*i == 0 || *i == 1)) {
        return *i == 1;
    }
    return std::nullopt;
}

bool NSNumber::isEqual(const NSNumber& other) const
{
    // Long double holds every 64-bit integer exactly on this platform, so mixed widths compare by value.
    auto wide = [](const Storage& s) { return std::visit([](auto v) { return static_cast<long double>(v); }, s); };
    const bool integral = !std::holds_alternative<double>(number) && !std::holds_alternative<double>(other.number);
    if (integral) {
        auto asPair = [](const Storage& s) -> std::pair<bool, std::uint64_t> { // (negative, magnitude)
            return std::visit(Overloaded{[](std::int64_t i) {
                return std::pair<bool, std::uint64_t>(i < 0, i < 0 ? 0 - static_cast<std::uint64_t>(i)
                                                                   : static_cast<std::uint64_t>(i));
                                         },
                                         [](std::uint64_t u) { return std::pair<bool, std::uint64_t>(false, u); },
                                         [](bool b) { return std::pair<bool, std::uint64_t>(false, b ? 1u : 0u); },
                                         [](double) { return std::pair<bool, std::uint64_t>(false, 0u); }},
                              s);
        };
        return asPair(number) == asPair(other.number);
    }
    return wide(number) == wide(other.number);
}

TallyOptional::TallyOptional(TallyType value)
    : wrapped(std::make_shared<const TallyType>(std::move(value)))
{
}

bool TallyType::isValidNestedTypeAndValue() const
{
    return std::visit(
        Overloaded{[](const TallyOptional& o) { return !o.hasValue() || o.value().isValidNestedTypeAndValue(); },
                   [](double d) { return std::isfinite(d); }, [](float f) { return std::isfinite(f); },
                   [](const NSNumber& n) { return std::isfinite(n.doubleValue()); }, [](const auto&) { return true; }},
        value);
}

bool TallyType::equals(const TallyType& rhs) const
{
    return std::visit(
        Overloaded{[&](const TallyOptional& o) { return optionalEquals(o, rhs); },
                   [&](const std::string& s) { return asString(rhs) == s; },
                   [&](const NSString& s) { return asString(rhs) == s.value; },
                   [&](const NSNumber& n) {
        const auto other = asNumber(rhs);
        return other && n.isEqual(*other);
                   },
                   [&](std::int64_t i) { return asValueKind<std::int64_t>(rhs, &NSNumber::exactInt) == i; },
                   [&](std::uint64_t u) { return asValueKind<std::uint64_t>(rhs, &NSNumber::exactUInt) == u; },
                   [&](double d) { return asValueKind<double>(rhs, &NSNumber::exactDouble) == d; },
                   [&](float f) { return asValueKind<float>(rhs, &NSNumber::exactFloat) == f; },
                   [&](bool b) { return asValueKind<bool>(rhs, &NSNumber::exactBool) == b; },
                   [&](const foundation::Date& d) {
        const auto* other = unwrapped(rhs).get<foundation::Date>();
        return other && *other == d;
        },
        [&](const URL& u) {
        const auto* other = unwrapped(rhs).get<URL>();
        return other && *other == u;
        },
        [&](const NSNull&) { return unwrapped(rhs).is<NSNull>(); },
        [&](const TallyArray& list) { return listEquals(list, rhs); },
        [&](const NSArray& list) { return listEquals(list.elements, rhs); },
        [&](const Properties& dictionary) { return dictionaryEquals(dictionary, rhs); }},
        value);
}

std::string TallyType::typeName() const
{
    static constexpr const char* names[] = {"Optional", "String", "NSString", "NSNumber", "Int",
                                            "UInt",     "Double", "Float",    "Bool",     "Date",
                                            "URL",      "NSNull", "Array",    "NSArray",  "Dictionary"};
    return names[value.index()];
}

std::string TallyType::description() const
{
    auto listText = [](const TallyArray& list) {
        std::string text = "[";
        for (std::size_t i = 0; i < list.size(); ++i) {
            text += (i ? ", " : "") + list[i].description();
        }
        return text + "]";
    };
    return std::visit(
        Overloaded{[](const TallyOptional& o) {
        return o.hasValue() ? "Optional(" + o.value().description() + ")" : std::string("nil");
                   },
                   [](const std::string& s) { return s; }, [](const NSString& s) { return s.value; },
                   [](const NSNumber& n) { return numberText(n); }, [](std::int64_t i) { return std::to_string(i); },
                   [](std::uint64_t u) { return std::to_string(u); }, [](double d) { return numberText(d); },
                   [](float f) { return numberText(static_cast<double>(f)); },
                   [](bool b) { return std::string(b ? "true" : "false"); },
                   [](const foundation::Date& d) { return "Date(" + numberText(d.timeIntervalSince1970()) + ")"; },
                   [](const URL& u) { return u.absoluteString; }, [](const NSNull&) { return std::string("<null>"); },
                   [&](const TallyArray& list) { return listText(list); },
                   [&](const NSArray& list) { return listText(list.elements); },
                   [](const Properties& dictionary) {
        std::string text = "[";
        bool first = true;
        for (const auto& [key, value] : dictionary) {
            text += (first ? "\"" : ", \"") + key + "\": " + value.description();
            first = false;
        }
        return text + (dictionary.empty() ? ":]" : "]");
        }},
        value);
}

void assertPropertyTypes(const Properties* properties)
{
    if (!properties) {
        return;
    }
    for (const auto& entry : *properties) {
        const TallyType& value = entry.second; // a structured binding cannot be captured before C++20 in clang 14
        TLAssert([&] { return value.isValidNestedTypeAndValue(); },
                 [&] {
            return "Property values must be of valid type (TallyType) and valid value. Got " + value.typeName() +
                   " and Value " + value.description();
        });
    }
}

void assertPropertyTypes(const std::optional<Properties>& properties)
{
    assertPropertyTypes(properties ? &*properties : nullptr);
}

} // namespace tally
