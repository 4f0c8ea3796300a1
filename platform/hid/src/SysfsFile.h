#pragma once

#include "platform/hid/Hid.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hid::detail {

/// The whole content of a small file (sysfs attributes, descriptors, at most 64 KiB); nullopt when
/// it cannot be read, with the reason in `errorNumber` when given.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, int* errorNumber = nullptr);
/// `text` without leading and trailing white space.
std::string_view trimmed(std::string_view text);
/// A decimal integer, surrounded by optional white space.
std::optional<std::int64_t> parseInteger(std::string_view text);
/// A decimal number (sysfs writes "0.009576806", "-2", "1e-3"), surrounded by optional white space.
std::optional<double> parseNumber(std::string_view text);
/// The numbers N of the entries of `folder` named `prefix` followed by N, in increasing order.
std::optional<std::vector<std::uint64_t>> numberedEntries(const std::filesystem::path& folder, std::string_view prefix,
                                                          int& errorNumber);
/// A backend's answer to a query for `className`: the numbered entries of `folder` (see
/// numberedEntries) that `keep` accepts, asked in increasing order. Only the sensor class has
/// any; a missing folder has none; any other listing failure is returned as -errno.
ReturnCode numberedServices(std::string_view className, const std::filesystem::path& folder, std::string_view prefix,
                            std::vector<ServiceId>& services, const std::function<bool(std::uint64_t)>& keep);

} // namespace hid::detail
