#include "Services/AccelerometerService.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

/// The integer value of a property, 0 when it is missing or not an integer.
std::int64_t integerProperty(const hid::PropertyDictionary& properties, const char* key)
{
    const auto it = properties.find(key);
    if (it == properties.end()) {
        return 0;
    }
    if (const auto* value = std::get_if<std::int64_t>(&it->second)) {
        return *value;
    }
    return 0;
}

} // namespace

std::int32_t AccelerometerError::code() const
{
    if (const auto* open = std::get_if<CannotOpen>(&value)) {
        return open->code;
    }
    if (const auto* lost = std::get_if<DeviceLost>(&value)) {
        return lost->code;
    }
    return 0;
}

bool AccelerometerError::isPermissionDenied() const
{
    const auto* open = std::get_if<CannotOpen>(&value);
    return open && open->code == -EACCES;
}

std::string AccelerometerError::errorDescription() const
{
    if (isDeviceNotFound()) {
        return "Accelerometer not found. Make sure this laptop has a motion sensor.";
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(static_cast<std::uint32_t>(code())));
    if (isDeviceLost()) {
        return std::string("Lost the accelerometer (code: ") + hex + ").";
    }
    std::string text = std::string("Cannot open accelerometer (code: ") + hex + ").";
    if (isPermissionDenied()) {
        text += " This user may not read the motion sensor; the udev rules file 70-thwacko-sensors.rules grants "
                "access.";
    }
    return text;
}

AccelerometerService::AccelerometerService(std::shared_ptr<hid::Backend> backend)
    : backend(std::move(backend))
{
}

AccelerometerService::~AccelerometerService()
{
    // The device layer calls back into this object with a raw context pointer; a started
    // service must never outlive its own registration.
    if (hidDevice) {
        stop();
    }
}

template <typename Handler> Handler AccelerometerService::read(const std::shared_ptr<const Handler>& field) const
{
    std::lock_guard lock(stateLock);
    return field ? *field : Handler();
}

template <typename Handler> void AccelerometerService::replace(std::shared_ptr<const Handler>& field, Handler handler)
{
    std::shared_ptr<const Handler> shared = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
    {
        std::lock_guard lock(stateLock);
        field.swap(shared);
    }
    // The old handler is destroyed here, after the lock is released, so its captures may call back in.
}

AccelerometerService::SampleHandler AccelerometerService::onSample() const { return read(sampleHandler); }
void AccelerometerService::setOnSample(SampleHandler handler) { replace(sampleHandler, std::move(handler)); }
AccelerometerService::ErrorHandler AccelerometerService::onError() const { return read(errorHandler); }
void AccelerometerService::setOnError(ErrorHandler handler) { replace(errorHandler, std::move(handler)); }
AccelerometerService::ReadyHandler AccelerometerService::onReady() const { return read(readyHandler); }
void AccelerometerService::setOnReady(ReadyHandler handler) { replace(readyHandler, std::move(handler)); }

bool AccelerometerService::isSensor(hid::ServiceId service) const
{
    const auto properties = backend->properties(service).value_or(hid::PropertyDictionary{});
    return integerProperty(properties, hid::kPrimaryUsagePageKey) == pageVendor &&
           integerProperty(properties, hid::kPrimaryUsageKey) == usageAccel;
}

AccelerometerService::SensorSearch AccelerometerService::findSensorService() const
{
    SensorSearch search;
    if (!backend) {
        return search;
    }
    std::vector<hid::ServiceId> unreadable;
    if (backend->unreadableServices(hid::kSensorServiceClass, unreadable) != hid::kSuccess) {
        unreadable.clear();
    }
    std::vector<hid::ServiceId> services;
    if (backend->matchingServices(hid::kSensorServiceClass, services) == hid::kSuccess) {
        for (const hid::ServiceId service : services) {
            if (!isSensor(service)) {
                continue;
            }
            if (std::find(unreadable.begin(), unreadable.end(), service) == unreadable.end()) {
                search.readable = service;
                return search;
            }
            if (!search.listedUnreadable) {
                search.listedUnreadable = service;
            }
        }
    }
    search.unreadable =
        search.listedUnreadable ||
        std::any_of(unreadable.begin(), unreadable.end(), [this](hid::ServiceId service) { return isSensor(service); });
    return search;
}

SensorAvailability AccelerometerService::availability() const
{
    const SensorSearch search = findSensorService();
    if (search.readable) {
        return SensorAvailability::available;
    }
    return search.unreadable ? SensorAvailability::notReadable : SensorAvailability::notFound;
}

AccelerometerService::OpenOutcome AccelerometerService::findAndOpenDevice()
{
    const SensorSearch search = findSensorService();
    // A listed sensor is opened even when its permissions say no, so the error carries the
    // open call's own code; one left out of the list is reported without being touched.
    const std::optional<hid::ServiceId> service = search.readable ? search.readable : search.listedUnreadable;
    if (!service) {
        if (search.unreadable) {
            if (const ErrorHandler handler = onError()) {
                handler(AccelerometerError::cannotOpen(-EACCES));
            }
            return {nullptr, true};
        }
        return {};
    }
    std::unique_ptr<hid::Device> device = backend->createDevice(*service);
    if (!device) {
        return {};
    }
    const hid::ReturnCode result = device->open();
    if (result != hid::kSuccess) {
        if (const ErrorHandler handler = onError()) {
            handler(AccelerometerError::cannotOpen(result));
        }
        return {nullptr, true};
    }
    return {std::move(device), false};
}

void AccelerometerService::start()
{
    if (hidDevice) {
        return;
    }
    OpenOutcome opened = findAndOpenDevice();
    if (!opened.device) {
        // A failed open has been reported already; each failed start reports exactly one error.
        if (!opened.openFailed) {
            if (const ErrorHandler handler = onError()) {
                handler(AccelerometerError::deviceNotFound());
            }
        }
        return;
    }
    std::unique_ptr<hid::Device> device = std::move(opened.device);
    hidDevice = std::move(device);
    decimationCounter = 0;

    hidDevice->setProperty("ReportInterval", 1000);
    hidDevice->setProperty("SensorPropertyReportingState", 1);
    hidDevice->setProperty("SensorPropertyPowerState", 1);

    reportBuffer = std::make_unique<std::uint8_t[]>(reportBufSize);
    {
        std::lock_guard lock(stateLock);
        acceptingCallbacks = true;
    }
    hidDevice->registerInputReportCallback(reportBuffer.get(), reportBufSize, &AccelerometerService::reportCallback,
                                           this);
    hidDevice->registerRemovalCallback(&AccelerometerService::removalCallback, this);
    hidDevice->scheduleWithMainLoop();

    if (const ReadyHandler handler = onReady()) {
        handler();
    }
}

void AccelerometerService::stop()
{
    disableCallbacks();
    if (hidDevice) {
        hidDevice->unscheduleFromMainLoop();
        hidDevice->close();
    }
    hidDevice.reset();
    reportBuffer.reset();
}

void AccelerometerService::disableCallbacks()
{
    std::shared_ptr<const SampleHandler> oldSample;
    std::shared_ptr<const ErrorHandler> oldError;
    std::shared_ptr<const ReadyHandler> oldReady;
    {
        std::lock_guard lock(stateLock);
        acceptingCallbacks = false;
        oldSample.swap(sampleHandler);
        oldError.swap(errorHandler);
        oldReady.swap(readyHandler);
    }
}

double AccelerometerService::decodeAxis(const std::uint8_t* report, std::size_t offset)
{
    const std::uint32_t bits =
        static_cast<std::uint32_t>(report[offset]) | static_cast<std::uint32_t>(report[offset + 1]) << 8 |
        static_cast<std::uint32_t>(report[offset + 2]) << 16 | static_cast<std::uint32_t>(report[offset + 3]) << 24;
    return static_cast<double>(static_cast<std::int32_t>(bits)) / accelScale;
}

void AccelerometerService::handleReport(const std::uint8_t* report, std::ptrdiff_t length)
{
    // The handler is looked at and the report counted under the one lock of each report, and a
    // copy is taken only for the report that is decoded: the other seven cost no reference-count
    // steps.
    std::shared_ptr<const SampleHandler> handler;
    {
        std::lock_guard lock(stateLock);
        if (!acceptingCallbacks || !sampleHandler || !*sampleHandler || length != imuReportLen) {
            return;
        }
        if (++decimationCounter < imuDecimation) {
            return;
        }
        decimationCounter = 0;
        handler = sampleHandler;
    }
    (*handler)(decodeAxis(report, imuDataOffset), decodeAxis(report, imuDataOffset + 4),
               decodeAxis(report, imuDataOffset + 8));
}

void AccelerometerService::handleDeviceLost(hid::ReturnCode code)
{
    std::shared_ptr<const ErrorHandler> handler;
    {
        std::lock_guard lock(stateLock);
        if (acceptingCallbacks) {
            handler = errorHandler;
        }
        acceptingCallbacks = false;
    }
    // Release the dead device (from inside its own callback, which devices allow), so that a
    // later start() finds and opens the sensor again; the handlers stay for the owner's stop().
    if (hidDevice) {
        hidDevice->unscheduleFromMainLoop();
        hidDevice->close();
        hidDevice.reset();
    }
    reportBuffer.reset();
    if (handler && *handler) {
        (*handler)(AccelerometerError::deviceLost(code));
    }
}

void AccelerometerService::removalCallback(void* context, hid::ReturnCode code)
{
    if (context) {
        static_cast<AccelerometerService*>(context)->handleDeviceLost(code);
    }
}

void AccelerometerService::reportCallback(void* context, hid::ReturnCode, void*, std::uint32_t, std::uint32_t,
                                          std::uint8_t* report, std::ptrdiff_t length)
{
    if (!context) {
        return;
    }
    static_cast<AccelerometerService*>(context)->handleReport(report, length);
}
