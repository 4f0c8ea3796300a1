#include "analytics/JSONHandler.h"

#include "analytics/TallyLogger.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace tally {

using nlohmann::json;

namespace {

// Deeper documents are refused when decoding, so that hostile rows cannot exhaust the stack.
constexpr int kDeepestNesting = 512;

json numberOrText(double d)
{
    if (std::isnan(d)) {
        return "nan";
    }
    if (std::isinf(d)) {
        return d > 0 ? "inf" : "-inf";
    }
    return d;
}

json floatValue(float f)
{
    if (!std::isfinite(f)) {
        return numberOrText(static_cast<double>(f));
    }
    // The float's shortest text read as a double, so 0.1f is written as 0.1.
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, f);
    double d = 0;
    std::from_chars(text, written.ptr, d);
    return d;
}

json numberValue(const NSNumber& number)
{
    if (number.isBoolean()) {
        return std::get<bool>(number.storage());
    }
    if (!std::isfinite(number.doubleValue())) {
        return numberOrText(number.doubleValue());
    }
    return std::visit([](auto v) { return json(v); }, number.storage());
}

// The JSON-compatible form; nullopt for an absent value.
std::optional<json> serializable(const TallyType& value)
{
    switch (value.kind()) {
    case TallyType::Kind::Optional: {
        const auto& optional = *value.get<TallyOptional>();
        return optional.hasValue() ? serializable(optional.value()) : std::nullopt;
    }
    case TallyType::Kind::String:
        return json(*value.get<std::string>());
    case TallyType::Kind::NSString:
        return json(value.get<NSString>()->value);
    case TallyType::Kind::NSNumber:
        return numberValue(*value.get<NSNumber>());
    case TallyType::Kind::Int:
        return json(*value.get<std::int64_t>());
    case TallyType::Kind::UInt:
        return json(*value.get<std::uint64_t>());
    case TallyType::Kind::Double:
        return numberOrText(*value.get<double>());
    case TallyType::Kind::Float:
        return floatValue(*value.get<float>());
    case TallyType::Kind::Bool:
        return json(*value.get<bool>());
    case TallyType::Kind::Date:
        return json(JSONHandler::dateText(*value.get<foundation::Date>()));
    case TallyType::Kind::URL:
        return json(value.get<URL>()->absoluteString);
    case TallyType::Kind::NSNull:
        return json(nullptr);
    case TallyType::Kind::Array:
    case TallyType::Kind::NSArray: {
        const TallyArray& list = value.is<TallyArray>() ? *value.get<TallyArray>() : value.get<NSArray>()->elements;
        json out = json::array();
        for (const auto& element : list) {
            if (auto converted = serializable(element)) {
                out.push_back(std::move(*converted));
            }
        }
        return out;
    }
    case TallyType::Kind::Dictionary: {
        json out = json::object();
        for (const auto& [key, element] : *value.get<Properties>()) {
            out[key] = serializable(element).value_or(json(nullptr));
        }
        return out;
    }
    }
    return std::nullopt;
}

std::optional<TallyType> decoded(const json& value, int depth)
{
    if (depth > kDeepestNesting) {
        return std::nullopt;
    }
    switch (value.type()) {
    case json::value_t::object: {
        Properties out;
        for (const auto& [key, element] : value.items()) {
            auto converted = decoded(element, depth + 1);
            if (!converted) {
                return std::nullopt;
            }
            out.emplace(key, std::move(*converted));
        }
        return TallyType(std::move(out));
    }
    case json::value_t::array: {
        TallyArray out;
        out.reserve(value.size());
        for (const auto& element : value) {
            auto converted = decoded(element, depth + 1);
            if (!converted) {
                return std::nullopt;
            }
            out.push_back(std::move(*converted));
        }
        return TallyType(std::move(out));
    }
    case json::value_t::string:
        return TallyType(value.get<std::string>());
    case json::value_t::boolean:
        return TallyType(NSNumber(value.get<bool>()));
    case json::value_t::number_integer:
        return TallyType(NSNumber(value.get<std::int64_t>()));
    case json::value_t::number_unsigned:
        return TallyType(NSNumber(value.get<std::uint64_t>()));
    case json::value_t::number_float:
        return TallyType(NSNumber(value.get<double>()));
    case json::value_t::null:
        return TallyType(NSNull{});
    default:
        return std::nullopt;
    }
}

} // namespace

std::string JSONHandler::dateText(foundation::Date date)
{
    // Whole microseconds first, so that binary noise (x.999999...) does not lose a millisecond;
    // then the millisecond is cut, never rounded up.
    const double seconds = date.timeIntervalSince1970();
    const long long micros = std::llround(seconds * 1e6);
    long long millis = micros / 1000;
    if (micros % 1000 < 0) {
        --millis;
    }
    long long whole = millis / 1000;
    long long fraction = millis % 1000;
    if (fraction < 0) {
        fraction += 1000;
        --whole;
    }
    const std::time_t t = static_cast<std::time_t>(whole);
    std::tm parts{};
    ::gmtime_r(&t, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, fraction);
    return text;
}

std::optional<std::string> JSONHandler::serializeJSONObject(const TallyType& value)
{
    std::optional<json> converted = serializable(value);
    if (converted && converted->is_array()) {
        json kept = json::array();
        for (auto& element : *converted) {
            if (element.is_array() || element.is_object()) {
                kept.push_back(std::move(element));
            }
        }
        converted = std::move(kept);
    }
    if (!converted || !(converted->is_array() || converted->is_object())) {
        TALLY_LOG_WARN("object isn't valid and can't be serialzed to JSON");
        return std::nullopt;
    }
    try {
        // Invalid UTF-8 in a text is replaced rather than losing the whole record.
        return converted->dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception&) {
        TALLY_LOG_WARN("exception encoding api data");
        return std::nullopt;
    }
}

std::optional<TallyType> JSONHandler::deserializeData(const std::string& data)
{
    const json parsed = json::parse(data.begin(), data.end(), nullptr, false);
    if (parsed.is_discarded() || !(parsed.is_array() || parsed.is_object())) {
        TALLY_LOG_WARN("exception decoding object data");
        return std::nullopt;
    }
    auto value = decoded(parsed, 0);
    if (!value) {
        TALLY_LOG_WARN("exception decoding object data");
    }
    return value;
}

std::optional<std::string> JSONHandler::encodeAPIData(const TallyType& value)
{
    auto bytes = serializeJSONObject(value);
    if (!bytes) {
        TALLY_LOG_WARN("couldn't serialize object");
    }
    return bytes;
}

std::optional<std::string> JSONHandler::encodeAPIData(const EntityBatch& batch)
{
    TallyArray list;
    list.reserve(batch.size());
    for (const auto& record : batch) {
        list.emplace_back(record);
    }
    return encodeAPIData(TallyType(std::move(list)));
}

} // namespace tally
