#include "platform/hid/SensorReport.h"

#include <cmath>
#include <limits>

namespace hid {

std::int32_t sensorUnitsFromG(double g)
{
    if (std::isnan(g)) {
        return 0;
    }
    const double units = std::round(g * kSensorUnitsPerG);
    if (units >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (units <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(units);
}

SensorReport makeSensorReport(std::int32_t x, std::int32_t y, std::int32_t z)
{
    SensorReport report{};
    std::size_t at = kSensorReportXOffset;
    for (const std::int32_t value : {x, y, z}) {
        const auto bits = static_cast<std::uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8) {
            report[at++] = static_cast<std::uint8_t>(bits >> shift);
        }
    }
    return report;
}

} // namespace hid
