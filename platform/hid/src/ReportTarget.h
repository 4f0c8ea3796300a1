#pragma once

#include "platform/hid/Hid.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace hid {

/// The report buffer and callback that a device's owner registered, and the hand-over of one
/// report to them. Shared by the backends' devices.
struct ReportTarget {
    std::uint8_t* buffer = nullptr;
    std::size_t length = 0;
    InputReportCallback callback = nullptr;
    void* context = nullptr;
    RemovalCallback removalCallback = nullptr;
    void* removalContext = nullptr;

    void set(std::uint8_t* reportBuffer, std::size_t reportLength, InputReportCallback reportCallback,
             void* reportContext)
    {
        buffer = reportBuffer;
        length = reportLength;
        callback = reportCallback;
        context = reportContext;
    }

    void setRemoval(RemovalCallback callback, void* callbackContext)
    {
        removalCallback = callback;
        removalContext = callbackContext;
    }

    /// Tells the owner that the device is gone, when it asked to know.
    void lost(ReturnCode error) const
    {
        if (removalCallback) {
            removalCallback(removalContext, error);
        }
    }

    /// Whether a buffer and a callback are registered.
    bool ready() const { return callback && buffer && length > 0; }

    /// Copies `report` into the buffer, cut to its length, and calls the callback with `sender`.
    /// Only when ready().
    void deliver(void* sender, std::span<const std::uint8_t> report) const
    {
        const std::size_t size = std::min(length, report.size());
        std::memcpy(buffer, report.data(), size);
        callback(context, kSuccess, sender, kInputReport, 0, buffer, static_cast<std::ptrdiff_t>(size));
    }
};

} // namespace hid
