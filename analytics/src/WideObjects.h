#pragma once

// libplist 2.2 writes every integer in at most 8 bytes (so an unsigned value above INT64_MAX
// reads back as negative), stops strings at the first NUL both ways, and reads a 16-byte integer
// without saying so. These helpers work on the binary form around it: the archiver writes a
// placeholder data object where libplist cannot write the object, then puts the real bytes in
// its place; before libplist parses a file, the unarchiver turns each 16-byte integer into a
// data object it recognises and each NUL of an ASCII string into a byte no ASCII or UTF-8 text
// holds, which it turns back afterwards. Objects are found through the offset table; a replacement never grows an
// object, so no offset changes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tally::wide {

/// The binary object of an unsigned integer above INT64_MAX: 16 bytes, big-endian.
std::string integer16(std::uint64_t value);
/// The binary object of a string holding NULs (ASCII, else UTF-16 big-endian).
std::string string(const std::string& utf8);
/// The payload of a data object that stands for `objects[index]` (of `objectSize` bytes).
std::string placeholder(std::size_t index, std::size_t objectSize);
/// Writes each placeholder's object in its place; false when one is missing.
bool substitute(std::string& bplist, const std::vector<std::string>& objects);

/// Rewrites each 16-byte integer as a data object that `wideUnsigned` recognises (one outside
/// 64 unsigned bits becomes a data object it refuses), and marks the NULs of ASCII strings.
void prepareForLibplist(std::string& bplist);
/// Turns the marks of `prepareForLibplist` in a decoded string back into NULs.
void restoreNuls(std::string& text);
/// The value of a data object written by `markIntegers16`.
std::optional<std::uint64_t> wideUnsigned(const char* data, std::uint64_t length);

} // namespace tally::wide
