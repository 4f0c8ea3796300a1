#include "platform/foundation/PlistValue.h"

#include "platform/foundation/DurableFile.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

namespace foundation {

namespace fs = std::filesystem;

namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr double kSecondsFrom1970To2001 = 978307200.0;

std::optional<PlistValue> fromNode(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return PlistValue(v != 0);
    }
    case PLIST_UINT: {
        // libplist 2.2 keeps every integer as 64 unsigned bits; negative values round-trip as their bits.
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return PlistValue(static_cast<std::int64_t>(v));
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return PlistValue(v);
    }
    case PLIST_STRING: {
        char* v = nullptr;
        plist_get_string_val(node, &v);
        std::string s = v ? v : "";
        std::free(v);
        return PlistValue(std::move(s));
    }
    case PLIST_DATA: {
        char* v = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &v, &length);
        PlistData data(reinterpret_cast<const std::uint8_t*>(v), reinterpret_cast<const std::uint8_t*>(v) + length);
        std::free(v);
        return PlistValue(std::move(data));
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // libplist 2.2 keeps a date as one number and hands out its whole part truncated toward zero
        // with the magnitude of the fraction: before 2001 the fraction counts backwards. (Within the
        // last second before 2001 the sign is lost altogether; the library offers no way to get it.)
        const double fraction = usec / 1e6;
        return PlistValue(Date(kSecondsFrom1970To2001 + sec + (sec < 0 ? -fraction : fraction)));
    }
    case PLIST_ARRAY: {
        PlistArray array;
        const uint32_t count = plist_array_get_size(node);
        array.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            if (auto item = fromNode(plist_array_get_item(node, i))) {
                array.push_back(std::move(*item));
            }
        }
        return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
        PlistDictionary dict;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        if (!iter) {
            return PlistValue(std::move(dict));
        }
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            if (auto value = fromNode(item); value && key) {
                dict.emplace(key, std::move(*value));
            }
            std::free(key);
        }
        std::free(iter);
        return PlistValue(std::move(dict));
    }
    default:
        return std::nullopt; // keys, UIDs and unknown nodes have no value of ours
    }
}

plist_t newDate(Date date)
{
    constexpr double kFirst = std::numeric_limits<int32_t>::min();
    constexpr double kLast = std::numeric_limits<int32_t>::max();
    double since2001 = date.timeIntervalSince1970() - kSecondsFrom1970To2001;
    if (std::isnan(since2001)) {
        since2001 = 0;
    }
    double whole = std::floor(since2001);
    long usec = std::lround((since2001 - whole) * 1e6);
    if (usec >= 1000000) {
        whole += 1;
        usec = 0;
    }
    if (whole < kFirst || whole > kLast) {
        whole = std::clamp(whole, kFirst, kLast);
        usec = 0;
    }
    return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>(usec));
}

plist_t toNode(const PlistValue& value)
{
    return std::visit(
        [](const auto& v) -> plist_t {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                return plist_new_bool(v ? 1 : 0);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return plist_new_uint(static_cast<uint64_t>(v));
            } else if constexpr (std::is_same_v<T, double>) {
                return plist_new_real(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return plist_new_string(v.c_str());
            } else if constexpr (std::is_same_v<T, PlistData>) {
                return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
            } else if constexpr (std::is_same_v<T, Date>) {
                return newDate(v);
            } else if constexpr (std::is_same_v<T, PlistArray>) {
                plist_t array = plist_new_array();
                for (const auto& item : v) {
                    plist_array_append_item(array, toNode(item));
                }
                return array;
            } else {
                plist_t dict = plist_new_dict();
                for (const auto& [key, item] : v) {
                    plist_dict_set_item(dict, key.c_str(), toNode(item));
                }
                return dict;
            }
        },
        value.value);
}

} // namespace

PlistReadResult parsePlist(const std::string& bytes)
{
    if (bytes.empty()) {
        return {std::nullopt, "empty property list"};
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) {
        return {std::nullopt, "not a property list"};
    }
    auto value = fromNode(root);
    plist_free(root);
    if (!value) {
        return {std::nullopt, "unsupported property-list root"};
    }
    return {std::move(value), {}};
}

PlistReadResult readPlistFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {std::nullopt, "cannot open " + path.string()};
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    return parsePlist(contents.str());
}

std::string plistToXml(const PlistValue& value)
{
    plist_t root = toNode(value);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::string text = xml ? std::string(xml, length) : std::string();
    plist_to_xml_free(xml);
    plist_free(root);
    return text;
}

std::string plistToBinary(const PlistValue& value)
{
    plist_t root = toNode(value);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    std::string bytes = bin ? std::string(bin, length) : std::string();
    plist_to_bin_free(bin);
    plist_free(root);
    return bytes;
}

bool writePlistFileAtomically(const fs::path& path, const PlistValue& value, std::string* error, PlistFormat format)
{
    const std::string bytes = format == PlistFormat::Binary ? plistToBinary(value) : plistToXml(value);
    std::string why = bytes.empty() ? "cannot serialise the property list for " + path.string() : std::string();
    if (why.empty() && writeFileDurably(path, bytes, FileAccess::Default, why)) {
        return true;
    }
    if (error) {
        *error = std::move(why);
    }
    return false;
}

} // namespace foundation
