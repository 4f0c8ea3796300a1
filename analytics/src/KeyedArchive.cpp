#include "analytics/KeyedArchive.h"

#include "WideObjects.h"

#include <plist/plist.h>

#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace tally {

namespace {

// Seconds between 1970 and 2001, the archive's date epoch.
constexpr double kEpoch2001 = 978307200.0;
// Bounds the total objects one decode builds, so that shared references cannot expand without end.
constexpr std::size_t kLargestExpansion = 200000;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

class Archiver {
public:
    Archiver()
        : objects(plist_new_array())
    {
        plist_array_append_item(objects, plist_new_string("$null"));
    }
    ~Archiver() { plist_free(objects); }

    // Returns the object's reference, or nullopt when too deep.
    std::optional<std::uint64_t> encode(const TallyType& value, int depth, bool nilAllowed)
    {
        if (depth > KeyedArchive::deepestNesting) {
            return std::nullopt;
        }
        switch (value.kind()) {
        case TallyType::Kind::Optional: {
            const auto& optional = *value.get<TallyOptional>();
            if (optional.hasValue()) {
                return encode(optional.value(), depth, nilAllowed);
            }
            return nilAllowed ? std::optional<std::uint64_t>(0) : encode(NSNull{}, depth, false);
        }
        case TallyType::Kind::String:
            return appendString(*value.get<std::string>());
        case TallyType::Kind::NSString:
            return appendString(value.get<NSString>()->value);
        case TallyType::Kind::NSNumber:
            return std::visit(
                [&](auto v) -> std::optional<std::uint64_t> {
                    using V = decltype(v);
                    if constexpr (std::is_same_v<V, bool>) {
                        return append(plist_new_bool(v));
                    } else if constexpr (std::is_same_v<V, double>) {
                        return append(plist_new_real(v));
                    } else if constexpr (std::is_same_v<V, std::uint64_t>) {
                        return appendUnsigned(v);
                    } else {
                        return append(plist_new_uint(static_cast<std::uint64_t>(v)));
                    }
                },
                value.get<NSNumber>()->storage());
        case TallyType::Kind::Int:
            return append(plist_new_uint(static_cast<std::uint64_t>(*value.get<std::int64_t>())));
        case TallyType::Kind::UInt:
            return appendUnsigned(*value.get<std::uint64_t>());
        case TallyType::Kind::Double:
            return append(plist_new_real(*value.get<double>()));
        case TallyType::Kind::Float:
            return append(plist_new_real(static_cast<double>(*value.get<float>())));
        case TallyType::Kind::Bool:
            return append(plist_new_bool(*value.get<bool>()));
        case TallyType::Kind::Date: {
            plist_t node = plist_new_dict();
            plist_dict_set_item(node, "NS.time",
                                plist_new_real(value.get<foundation::Date>()->timeIntervalSince1970() - kEpoch2001));
            return appendObject(node, "NSDate");
        }
        case TallyType::Kind::URL: {
            const auto relative = appendString(value.get<URL>()->absoluteString);
            plist_t node = plist_new_dict();
            plist_dict_set_item(node, "NS.base", plist_new_uid(0));
            plist_dict_set_item(node, "NS.relative", plist_new_uid(relative));
            return appendObject(node, "NSURL");
        }
        case TallyType::Kind::NSNull:
            return appendObject(plist_new_dict(), "NSNull");
        case TallyType::Kind::Array:
        case TallyType::Kind::NSArray: {
            const TallyArray& list = value.is<TallyArray>() ? *value.get<TallyArray>() : value.get<NSArray>()->elements;
            PlistPtr references(plist_new_array());
            for (const auto& element : list) {
                const auto reference = encode(element, depth + 1, false);
                if (!reference) {
                    return std::nullopt;
                }
                plist_array_append_item(references.get(), plist_new_uid(*reference));
            }
            plist_t node = plist_new_dict();
            plist_dict_set_item(node, "NS.objects", references.release());
            return appendObject(node, "NSArray");
        }
        case TallyType::Kind::Dictionary: {
            PlistPtr keys(plist_new_array());
            PlistPtr values(plist_new_array());
            for (const auto& [key, element] : *value.get<Properties>()) {
                const auto keyReference = appendString(key);
                const auto reference = encode(element, depth + 1, false);
                if (!reference) {
                    return std::nullopt;
                }
                plist_array_append_item(keys.get(), plist_new_uid(keyReference));
                plist_array_append_item(values.get(), plist_new_uid(*reference));
            }
            plist_t node = plist_new_dict();
            plist_dict_set_item(node, "NS.keys", keys.release());
            plist_dict_set_item(node, "NS.objects", values.release());
            return appendObject(node, "NSDictionary");
        }
        }
        return std::nullopt;
    }

    std::optional<std::string> finish(std::uint64_t root)
    {
        PlistPtr top(plist_new_dict());
        plist_dict_set_item(top.get(), "$version", plist_new_uint(100000));
        plist_dict_set_item(top.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_t rootDict = plist_new_dict();
        plist_dict_set_item(rootDict, "root", plist_new_uid(root));
        plist_dict_set_item(top.get(), "$top", rootDict);
        plist_dict_set_item(top.get(), "$objects", objects);
        objects = nullptr;
        char* bytes = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(top.get(), &bytes, &length);
        if (!bytes) {
            return std::nullopt;
        }
        std::string out(bytes, length);
        plist_to_bin_free(bytes);
        if (!wide::substitute(out, wideObjects)) {
            return std::nullopt;
        }
        return out;
    }

private:
    std::uint64_t appendString(const std::string& text)
    {
        if (text.find('\0') == std::string::npos) {
            return append(plist_new_string(text.c_str()));
        }
        return appendWide(wide::string(text));
    }

    std::uint64_t appendUnsigned(std::uint64_t value)
    {
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return append(plist_new_uint(value));
        }
        return appendWide(wide::integer16(value));
    }

    std::uint64_t appendWide(std::string object)
    {
        const std::string payload = wide::placeholder(wideObjects.size(), object.size());
        wideObjects.push_back(std::move(object));
        return append(plist_new_data(payload.data(), payload.size()));
    }

    std::uint64_t append(plist_t node)
    {
        plist_array_append_item(objects, node);
        return plist_array_get_size(objects) - 1;
    }

    std::uint64_t appendObject(plist_t node, const std::string& className)
    {
        auto it = classes.find(className);
        if (it == classes.end()) {
            plist_t description = plist_new_dict();
            plist_dict_set_item(description, "$classname", plist_new_string(className.c_str()));
            plist_t chain = plist_new_array();
            plist_array_append_item(chain, plist_new_string(className.c_str()));
            plist_array_append_item(chain, plist_new_string("NSObject"));
            plist_dict_set_item(description, "$classes", chain);
            it = classes.emplace(className, append(description)).first;
        }
        plist_dict_set_item(node, "$class", plist_new_uid(it->second));
        return append(node);
    }

    plist_t objects;
    std::map<std::string, std::uint64_t> classes;
    std::vector<std::string> wideObjects; // written over their placeholders
};

enum class ClassKind { Dictionary, Array, Set, String, Date, URL, Null };

std::optional<ClassKind> allowedClass(const std::string& name)
{
    static const std::map<std::string, ClassKind> allowed = {{"NSDictionary", ClassKind::Dictionary},
                                                             {"NSMutableDictionary", ClassKind::Dictionary},
                                                             {"NSArray", ClassKind::Array},
                                                             {"NSMutableArray", ClassKind::Array},
                                                             {"NSSet", ClassKind::Set},
                                                             {"NSMutableSet", ClassKind::Set},
                                                             {"NSString", ClassKind::String},
                                                             {"NSMutableString", ClassKind::String},
                                                             {"NSDate", ClassKind::Date},
                                                             {"NSURL", ClassKind::URL},
                                                             {"NSNull", ClassKind::Null}};
    const auto it = allowed.find(name);
    return it == allowed.end() ? std::nullopt : std::optional<ClassKind>(it->second);
}

std::optional<std::string> stringOf(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    // Not plist_get_string_val: it asserts on a string holding a NUL, which an archive may.
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text) {
        return std::nullopt;
    }
    std::string out(text, static_cast<std::size_t>(length));
    wide::restoreNuls(out);
    return out;
}

std::optional<std::uint64_t> uidOf(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_UID) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    plist_get_uid_val(node, &value);
    return value;
}

class Unarchiver {
public:
    explicit Unarchiver(plist_t objects)
        : objects(objects)
        , count(plist_array_get_size(objects))
    {
    }

    struct Failed {};

    // nullopt for nil; throws Failed for anything refused.
    std::optional<TallyType> decode(std::uint64_t reference, int depth)
    {
        if (reference >= count || depth > KeyedArchive::deepestNesting || ++built > kLargestExpansion) {
            throw Failed{};
        }
        if (reference == 0) {
            return std::nullopt;
        }
        if (!inProgress.insert(reference).second) {
            throw Failed{}; // a cycle
        }
        TallyType value = decodeNode(plist_array_get_item(objects, static_cast<std::uint32_t>(reference)), depth);
        inProgress.erase(reference);
        return value;
    }

private:
    TallyType decodeNode(plist_t node, int depth)
    {
        switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            return TallyType(*stringOf(node));
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return TallyType(NSNumber(b != 0));
        }
        case PLIST_UINT: {
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return TallyType(NSNumber(static_cast<std::int64_t>(u)));
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* data = plist_get_data_ptr(node, &length);
            const auto value = data ? wide::wideUnsigned(data, length) : std::nullopt;
            if (!value) {
                throw Failed{};
            }
            return TallyType(NSNumber(*value));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return TallyType(NSNumber(d));
        }
        case PLIST_DICT:
            return decodeObject(node, depth);
        default:
            throw Failed{};
        }
    }

    TallyType decodeObject(plist_t node, int depth)
    {
        const auto classReference = uidOf(plist_dict_get_item(node, "$class"));
        if (!classReference || *classReference == 0 || *classReference >= count) {
            throw Failed{};
        }
        plist_t description = plist_array_get_item(objects, static_cast<std::uint32_t>(*classReference));
        if (plist_get_node_type(description) != PLIST_DICT) {
            throw Failed{};
        }
        const auto name = stringOf(plist_dict_get_item(description, "$classname"));
        const auto kind = name ? allowedClass(*name) : std::nullopt;
        if (!kind) {
            throw Failed{};
        }
        switch (*kind) {
        case ClassKind::Null:
            return TallyType(NSNull{});
        case ClassKind::String: {
            const auto text = stringOf(plist_dict_get_item(node, "NS.string"));
            if (!text) {
                throw Failed{};
            }
            return TallyType(*text);
        }
        case ClassKind::Date: {
            plist_t time = plist_dict_get_item(node, "NS.time");
            if (!time || plist_get_node_type(time) != PLIST_REAL) {
                throw Failed{};
            }
            double seconds = 0;
            plist_get_real_val(time, &seconds);
            return TallyType(foundation::Date(seconds + kEpoch2001));
        }
        case ClassKind::URL: {
            const auto base = uidOf(plist_dict_get_item(node, "NS.base"));
            const auto relative = uidOf(plist_dict_get_item(node, "NS.relative"));
            if (!relative || (base && *base != 0)) {
                throw Failed{};
            }
            auto text = decode(*relative, depth + 1);
            if (!text || !text->is<std::string>()) {
                throw Failed{};
            }
            return TallyType(URL{*text->get<std::string>()});
        }
        case ClassKind::Array:
        case ClassKind::Set:
            return TallyType(references(plist_dict_get_item(node, "NS.objects"), depth));
        case ClassKind::Dictionary: {
            const TallyArray keys = references(plist_dict_get_item(node, "NS.keys"), depth);
            const TallyArray values = references(plist_dict_get_item(node, "NS.objects"), depth);
            if (keys.size() != values.size()) {
                throw Failed{};
            }
            Properties out;
            for (std::size_t i = 0; i < keys.size(); ++i) {
                const auto* key = keys[i].get<std::string>();
                if (!key) {
                    throw Failed{}; // only text keys can be represented
                }
                out.insert_or_assign(*key, values[i]);
            }
            return TallyType(std::move(out));
        }
        }
        throw Failed{};
    }

    TallyArray references(plist_t list, int depth)
    {
        if (!list || plist_get_node_type(list) != PLIST_ARRAY) {
            throw Failed{};
        }
        TallyArray out;
        const std::uint32_t size = plist_array_get_size(list);
        for (std::uint32_t i = 0; i < size; ++i) {
            const auto reference = uidOf(plist_array_get_item(list, i));
            if (!reference) {
                throw Failed{};
            }
            auto element = decode(*reference, depth + 1);
            out.push_back(element ? std::move(*element) : TallyType(NSNull{}));
        }
        return out;
    }

    plist_t objects;
    std::uint32_t count;
    std::size_t built = 0;
    std::set<std::uint64_t> inProgress;
};

// libplist copies an object once per reference to it, so a small file whose containers refer
// to one another many times expands beyond any memory. This walk of the binary form measures the
// expanded size first (and refuses cycles and references out of range) without building anything.
class BinaryPlistCheck {
public:
    explicit BinaryPlistCheck(const std::string& bytes)
        : data(reinterpret_cast<const unsigned char*>(bytes.data()))
        , size(bytes.size())
    {
    }

    bool reasonable()
    {
        if (size < 8 + 32) {
            return false;
        }
        const unsigned char* trailer = data + size - 32;
        offsetSize = trailer[6];
        refSize = trailer[7];
        const std::uint64_t objects = readBig(trailer + 8, 8);
        const std::uint64_t top = readBig(trailer + 16, 8);
        const std::uint64_t tableOffset = readBig(trailer + 24, 8);
        if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || objects == 0 || top >= objects ||
            tableOffset < 8 || tableOffset >= size - 32 || objects > (size - 32 - tableOffset) / offsetSize) {
            return false;
        }
        count = objects;
        table = data + tableOffset;
        expanded.assign(count, 0);
        state.assign(count, 0);
        return measure(top, 0) != 0;
    }

private:
    static constexpr std::uint64_t kLargest = 200000;

    static std::uint64_t readBig(const unsigned char* p, unsigned n)
    {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            v = (v << 8) | p[i];
        }
        return v;
    }

    // The expanded node count of object `index`; 0 for a refusal.
    std::uint64_t measure(std::uint64_t index, int depth)
    {
        if (index >= count || depth > 2 * KeyedArchive::deepestNesting + 8) {
            return 0;
        }
        if (state[index] == 2) {
            return expanded[index];
        }
        if (state[index] == 1) {
            return 0; // a cycle
        }
        const std::uint64_t offset = readBig(table + index * offsetSize, offsetSize);
        if (offset < 8 || offset >= size - 32) {
            return 0;
        }
        const unsigned char marker = data[offset];
        const unsigned kind = marker >> 4;
        std::uint64_t total = 1;
        if (kind == 0xA || kind == 0xC || kind == 0xD) {
            std::uint64_t position = offset + 1;
            std::uint64_t length = marker & 0x0F;
            if (length == 0x0F) {
                if (position >= size - 32 || (data[position] >> 4) != 0x1) {
                    return 0;
                }
                const unsigned bytes = 1u << (data[position] & 0x0F);
                if (bytes > 8 || position + 1 + bytes > size - 32) {
                    return 0;
                }
                length = readBig(data + position + 1, bytes);
                position += 1 + bytes;
            }
            const std::uint64_t refs = kind == 0xD ? 2 * length : length;
            if (length > size || refs > (size - 32 - position) / refSize) {
                return 0;
            }
            state[index] = 1;
            for (std::uint64_t i = 0; i < refs; ++i) {
                const std::uint64_t child = measure(readBig(data + position + i * refSize, refSize), depth + 1);
                if (child == 0) {
                    return 0;
                }
                total += child;
                if (total > kLargest) {
                    return 0;
                }
            }
        }
        state[index] = 2;
        expanded[index] = total;
        return total;
    }

    const unsigned char* data;
    std::uint64_t size;
    unsigned offsetSize = 0;
    unsigned refSize = 0;
    std::uint64_t count = 0;
    const unsigned char* table = nullptr;
    std::vector<std::uint64_t> expanded;
    std::vector<unsigned char> state;
};

} // namespace

std::optional<std::string> KeyedArchive::archive(const TallyType& root)
{
    Archiver archiver;
    const auto reference = archiver.encode(root, 0, true);
    if (!reference) {
        return std::nullopt;
    }
    return archiver.finish(*reference);
}

KeyedArchive::Decoded KeyedArchive::unarchive(const std::string& bytes)
{
    Decoded failed{true, std::nullopt};
    constexpr char kBinaryMagic[] = "bplist00";
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kBinaryMagic, 8) != 0 ||
        bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return failed;
    }
    std::string marked = bytes;
    wide::prepareForLibplist(marked);
    if (!BinaryPlistCheck(marked).reasonable()) {
        return failed;
    }
    plist_t parsed = nullptr;
    plist_from_bin(marked.data(), static_cast<std::uint32_t>(marked.size()), &parsed);
    PlistPtr top(parsed);
    if (!parsed || plist_get_node_type(parsed) != PLIST_DICT) {
        return failed;
    }
    if (stringOf(plist_dict_get_item(parsed, "$archiver")) != std::optional<std::string>("NSKeyedArchiver")) {
        return failed;
    }
    plist_t objects = plist_dict_get_item(parsed, "$objects");
    plist_t topDict = plist_dict_get_item(parsed, "$top");
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !topDict ||
        plist_get_node_type(topDict) != PLIST_DICT) {
        return failed;
    }
    const auto root = uidOf(plist_dict_get_item(topDict, "root"));
    if (!root) {
        return failed;
    }
    try {
        Unarchiver unarchiver(objects);
        return Decoded{false, unarchiver.decode(*root, 0)};
    } catch (const Unarchiver::Failed&) {
        return failed;
    }
}

} // namespace tally
