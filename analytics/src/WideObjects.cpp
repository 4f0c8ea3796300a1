#include "WideObjects.h"

#include <algorithm>
#include <cstring>

namespace tally::wide {

namespace {

constexpr char kPlaceholder[8] = {'\0', 'T', 'L', 'r', 'a', 'w', '\0', '\1'};
constexpr char kUnsigned[6] = {'\0', 'T', 'L', 'u', '6', '4'};
constexpr std::size_t kTrailer = 32;
constexpr char kNulInAscii = '\xff'; // never in ASCII, nor in UTF-8

std::uint64_t readBig(const unsigned char* p, unsigned n)
{
    std::uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void appendBig(std::string& out, std::uint64_t value, unsigned bytes)
{
    for (unsigned i = bytes; i-- > 0;) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// A marker with its length: the nibble, or 0xF followed by an integer object.
void appendMarker(std::string& out, unsigned kind, std::uint64_t length)
{
    if (length < 15) {
        out += static_cast<char>((kind << 4) | length);
        return;
    }
    out += static_cast<char>((kind << 4) | 0xF);
    const unsigned power = length <= 0xFF ? 0 : length <= 0xFFFF ? 1 : length <= 0xFFFFFFFF ? 2 : 3;
    out += static_cast<char>(0x10 | power);
    appendBig(out, length, 1u << power);
}

std::vector<char32_t> codePoints(const std::string& utf8)
{
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        const int length = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
        char32_t c = length == 1 ? b0 : b0 & (0x7F >> length);
        bool valid = length > 0 && i + length <= utf8.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            valid = (b & 0xC0) == 0x80;
            c = (c << 6) | (b & 0x3F);
        }
        out.push_back(valid ? c : 0xFFFD);
        i += valid ? length : 1;
    }
    return out;
}

struct Table {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    unsigned offsetSize = 0;
    std::uint64_t count = 0;
    std::uint64_t tableOffset = 0;

    explicit Table(const std::string& bplist)
        : data(reinterpret_cast<const unsigned char*>(bplist.data()))
        , size(bplist.size())
    {
        if (size < 8 + kTrailer) {
            return;
        }
        const unsigned char* trailer = data + size - kTrailer;
        offsetSize = trailer[6];
        count = readBig(trailer + 8, 8);
        tableOffset = readBig(trailer + 24, 8);
        if (offsetSize < 1 || offsetSize > 8 || tableOffset < 8 || tableOffset >= size - kTrailer ||
            count > (size - kTrailer - tableOffset) / offsetSize) {
            count = 0;
        }
    }
    std::uint64_t offset(std::uint64_t index) const
    {
        return readBig(data + tableOffset + index * offsetSize, offsetSize);
    }
    // Room from `offset` to the end of the objects.
    std::uint64_t room(std::uint64_t at) const { return at < tableOffset ? tableOffset - at : 0; }
};

} // namespace

std::string integer16(std::uint64_t value)
{
    std::string out(1, '\x14');
    appendBig(out, 0, 8);
    appendBig(out, value, 8);
    return out;
}

std::string string(const std::string& utf8)
{
    const auto points = codePoints(utf8);
    const bool ascii = std::all_of(points.begin(), points.end(), [](char32_t c) { return c < 0x80; });
    std::string out;
    if (ascii) {
        appendMarker(out, 0x5, points.size());
        out += utf8;
        return out;
    }
    std::string units;
    for (char32_t c : points) {
        if (c >= 0x10000) {
            c -= 0x10000;
            appendBig(units, 0xD800 + (c >> 10), 2);
            appendBig(units, 0xDC00 + (c & 0x3FF), 2);
        } else {
            appendBig(units, c, 2);
        }
    }
    appendMarker(out, 0x6, units.size() / 2);
    return out + units;
}

std::string placeholder(std::size_t index, std::size_t objectSize)
{
    std::string payload(kPlaceholder, sizeof kPlaceholder);
    appendBig(payload, index, 4);
    payload.resize(payload.size() + objectSize); // the object fits in its placeholder
    return payload;
}

bool substitute(std::string& bplist, const std::vector<std::string>& objects)
{
    const Table table(bplist);
    std::vector<bool> placed(objects.size(), false);
    for (std::uint64_t i = 0; i < table.count; ++i) {
        const std::uint64_t at = table.offset(i);
        const std::uint64_t room = table.room(at);
        if (room < 1 || (table.data[at] >> 4) != 0x4) {
            continue;
        }
        std::uint64_t length = table.data[at] & 0xF;
        std::uint64_t start = at + 1;
        if (length == 0xF) {
            if (room < 2 || (table.data[at + 1] >> 4) != 0x1) {
                continue;
            }
            const unsigned bytes = 1u << (table.data[at + 1] & 0xF);
            if (bytes > 8 || room < 2 + bytes) {
                continue;
            }
            length = readBig(table.data + at + 2, bytes);
            start = at + 2 + bytes;
        }
        if (length < sizeof kPlaceholder + 4 || start + length > table.tableOffset ||
            std::memcmp(table.data + start, kPlaceholder, sizeof kPlaceholder) != 0) {
            continue;
        }
        const std::uint64_t index = readBig(table.data + start + sizeof kPlaceholder, 4);
        if (index >= objects.size() || objects[index].size() > start + length - at) {
            return false;
        }
        bplist.replace(at, objects[index].size(), objects[index]);
        placed[index] = true;
    }
    return std::all_of(placed.begin(), placed.end(), [](bool p) { return p; });
}

void prepareForLibplist(std::string& bplist)
{
    const Table table(bplist);
    for (std::uint64_t i = 0; i < table.count; ++i) {
        const std::uint64_t at = table.offset(i);
        const std::uint64_t room = table.room(at);
        if (room >= 17 && table.data[at] == 0x14) {
            const bool fits = readBig(table.data + at + 1, 8) == 0;
            std::string object(1, '\x4E'); // data, 14 bytes
            object.append(fits ? std::string(kUnsigned, sizeof kUnsigned) : std::string(sizeof kUnsigned, '\0'));
            object.append(bplist, at + 9, 8);
            bplist.replace(at, object.size(), object);
        } else if (room >= 1 && (table.data[at] >> 4) == 0x5) {
            std::uint64_t length = table.data[at] & 0xF;
            std::uint64_t start = at + 1;
            if (length == 0xF) {
                if (room < 2 || (table.data[at + 1] >> 4) != 0x1 || (1u << (table.data[at + 1] & 0xF)) > 8 ||
                    room < 2 + (1u << (table.data[at + 1] & 0xF))) {
                    continue;
                }
                const unsigned bytes = 1u << (table.data[at + 1] & 0xF);
                length = readBig(table.data + at + 2, bytes);
                start = at + 2 + bytes;
            }
            for (std::uint64_t k = start; k < table.tableOffset && k - start < length; ++k) {
                if (bplist[k] == '\0') {
                    bplist[k] = kNulInAscii;
                }
            }
        }
    }
}

void restoreNuls(std::string& text) { std::replace(text.begin(), text.end(), kNulInAscii, '\0'); }

std::optional<std::uint64_t> wideUnsigned(const char* data, std::uint64_t length)
{
    if (length != sizeof kUnsigned + 8 || std::memcmp(data, kUnsigned, sizeof kUnsigned) != 0) {
        return std::nullopt;
    }
    return readBig(reinterpret_cast<const unsigned char*>(data) + sizeof kUnsigned, 8);
}

} // namespace tally::wide
