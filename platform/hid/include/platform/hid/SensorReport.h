#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

/// The motion sensor's input-report format, for backends that synthesise reports.
namespace hid {

/// The primary usage page and usage that identify the sensor service.
inline constexpr std::int64_t kSensorUsagePage = 0xFF00;
inline constexpr std::int64_t kSensorUsage = 3;

/// A sensor report: 22 bytes, x, y and z as signed 32-bit little-endian values at 6, 10 and 14.
inline constexpr std::size_t kSensorReportLength = 22;
inline constexpr std::size_t kSensorReportXOffset = 6;
inline constexpr double kSensorUnitsPerG = 65536.0;
/// Standard gravity in m/s², for converting SI accelerations to g.
inline constexpr double kStandardGravity = 9.80665;

using SensorReport = std::array<std::uint8_t, kSensorReportLength>;

/// An acceleration in g as sensor units: rounded to nearest (halves away from zero), saturated
/// to the int32 range; NaN gives 0.
std::int32_t sensorUnitsFromG(double g);
/// A report carrying x, y and z in sensor units; every other byte is zero.
SensorReport makeSensorReport(std::int32_t x, std::int32_t y, std::int32_t z);

} // namespace hid
