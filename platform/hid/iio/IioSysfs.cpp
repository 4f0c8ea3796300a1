#include "IioSysfs.h"

#include "Permissions.h"
#include "SysfsFile.h"
#include "platform/hid/IioBackend.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace hid::detail::iio {

namespace fs = std::filesystem;

namespace {

bool hasScale(const fs::path& folder, const char* axis)
{
    return fileExists(folder / (std::string("in_accel_") + axis + "_scale")) || fileExists(folder / "in_accel_scale");
}

} // namespace

fs::path rawFile(const fs::path& folder, const char* axis)
{
    return folder / (std::string("in_accel_") + axis + "_raw");
}

fs::path enableFile(const fs::path& folder, const std::string& channel)
{
    return folder / "scan_elements" / (channel + "_en");
}

bool fileExists(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

std::optional<double> axisAttribute(const fs::path& folder, const char* axis, const char* attribute, int& error)
{
    for (const std::string& name :
         {std::string("in_accel_") + axis + "_" + attribute, std::string("in_accel_") + attribute}) {
        if (!fileExists(folder / name)) {
            continue;
        }
        const auto text = detail::readSmallFile(folder / name, &error);
        if (!text) {
            return std::nullopt;
        }
        const auto value = detail::parseNumber(*text);
        if (!value || !std::isfinite(*value)) {
            error = EINVAL;
            return std::nullopt;
        }
        return value;
    }
    error = ENOENT;
    return std::nullopt;
}

bool hasRawFiles(const fs::path& folder)
{
    return std::all_of(kAxes.begin(), kAxes.end(), [&](const char* axis) { return fileExists(rawFile(folder, axis)); });
}

bool hasScanElements(const fs::path& folder)
{
    return std::all_of(kAxes.begin(), kAxes.end(), [&](const char* axis) {
        return fileExists(enableFile(folder, std::string("in_accel_") + axis));
    });
}

bool rawFilesReadable(const fs::path& folder)
{
    return hasRawFiles(folder) && std::all_of(kAxes.begin(), kAxes.end(),
                                              [&](const char* axis) { return detail::mayOpen(rawFile(folder, axis)); });
}

bool isAccelerometer(const fs::path& folder)
{
    return std::all_of(kAxes.begin(), kAxes.end(), [&](const char* axis) { return hasScale(folder, axis); }) &&
           (hasRawFiles(folder) || hasScanElements(folder));
}

std::optional<double> readNumber(const fs::path& file)
{
    if (const auto text = detail::readSmallFile(file)) {
        if (const auto value = detail::parseNumber(*text); value && std::isfinite(*value)) {
            return value;
        }
    }
    return std::nullopt;
}

std::string readText(const fs::path& file)
{
    return std::string(detail::trimmed(detail::readSmallFile(file).value_or(std::string())));
}

fs::path frequencyFile(const fs::path& folder)
{
    const fs::path own = folder / "in_accel_sampling_frequency";
    return fileExists(own) ? own : folder / "sampling_frequency";
}

std::vector<double> offeredFrequencies(const fs::path& folder)
{
    for (const char* name : {"in_accel_sampling_frequency_available", "sampling_frequency_available"}) {
        const auto text = detail::readSmallFile(folder / name);
        if (!text) {
            continue;
        }
        std::string words = *text;
        const bool range = words.find('[') != std::string::npos;
        std::replace_if(
            words.begin(), words.end(), [](char c) { return c == '[' || c == ']'; }, ' ');
        std::vector<double> values;
        std::string_view rest = words;
        while (!(rest = detail::trimmed(rest)).empty()) {
            const auto end = rest.find_first_of(" \t\n");
            if (const auto value = detail::parseNumber(rest.substr(0, end)); value && *value > 0) {
                values.push_back(*value);
            }
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        }
        if (range && values.size() == 3) {
            // [min step max]: the highest step not above the limit.
            const double top = std::min(values[2], IioBackend::kMaxSamplingHz);
            const double steps = values[1] > 0 ? std::floor((top - values[0]) / values[1]) : 0;
            return {values[0] + std::max(0.0, steps) * values[1]};
        }
        return values;
    }
    return {};
}

} // namespace hid::detail::iio
