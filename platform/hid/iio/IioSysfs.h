#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The sysfs attributes of IIO accelerometers, shared by the backend and its devices.
namespace hid::detail::iio {

inline constexpr std::string_view kDevicePrefix = "iio:device";
inline constexpr std::array<const char*, 3> kAxes = {"x", "y", "z"};

std::filesystem::path rawFile(const std::filesystem::path& folder, const char* axis);
std::filesystem::path enableFile(const std::filesystem::path& folder, const std::string& channel);
bool fileExists(const std::filesystem::path& path);
/// A per-axis attribute (`in_accel_x_scale`), else the shared one (`in_accel_scale`); nullopt
/// with the reason in `error` (ENOENT when neither exists).
std::optional<double> axisAttribute(const std::filesystem::path& folder, const char* axis, const char* attribute,
                                    int& error);
bool hasRawFiles(const std::filesystem::path& folder);
bool hasScanElements(const std::filesystem::path& folder);
bool rawFilesReadable(const std::filesystem::path& folder);
/// A scale for every axis, and raw files or scan elements to read them.
bool isAccelerometer(const std::filesystem::path& folder);
/// A finite number read from `file`, else nullopt.
std::optional<double> readNumber(const std::filesystem::path& file);
/// The trimmed content of `file`, empty when it cannot be read.
std::string readText(const std::filesystem::path& file);
/// The device's sampling-frequency attribute: the accelerometer's own, else the device's.
std::filesystem::path frequencyFile(const std::filesystem::path& folder);
/// The frequencies the device offers: a list ("12.5 25 50 100") or a range ("[1 1 200]", of
/// which the highest step up to IioBackend::kMaxSamplingHz).
std::vector<double> offeredFrequencies(const std::filesystem::path& folder);

} // namespace hid::detail::iio
