#include "CompositeBackend.h"

namespace hid::detail {

namespace {

constexpr int kIndexShift = 56;
constexpr ServiceId kInnerMask = (ServiceId{1} << kIndexShift) - 1;

} // namespace

CompositeBackend::CompositeBackend(std::vector<std::unique_ptr<Backend>> parts)
    : parts(std::move(parts))
{
}

ReturnCode CompositeBackend::matchingServices(std::string_view className, std::vector<ServiceId>& services)
{
    services.clear();
    ReturnCode firstFailure = kSuccess;
    bool anySucceeded = parts.empty();
    for (std::size_t index = 0; index < parts.size(); ++index) {
        std::vector<ServiceId> found;
        const ReturnCode result = parts[index]->matchingServices(className, found);
        if (result != kSuccess) {
            firstFailure = firstFailure == kSuccess ? result : firstFailure;
            continue;
        }
        anySucceeded = true;
        for (const ServiceId inner : found) {
            if (inner <= kInnerMask) { // an id that does not fit could not be told apart
                services.push_back((ServiceId{index} << kIndexShift) | inner);
            }
        }
    }
    return anySucceeded ? kSuccess : firstFailure;
}

Backend* CompositeBackend::part(ServiceId service, ServiceId& inner) const
{
    const std::size_t index = service >> kIndexShift;
    inner = service & kInnerMask;
    return index < parts.size() ? parts[index].get() : nullptr;
}

std::optional<PropertyDictionary> CompositeBackend::properties(ServiceId service)
{
    ServiceId inner = 0;
    Backend* backend = part(service, inner);
    return backend ? backend->properties(inner) : std::nullopt;
}

std::unique_ptr<Device> CompositeBackend::createDevice(ServiceId service)
{
    ServiceId inner = 0;
    Backend* backend = part(service, inner);
    return backend ? backend->createDevice(inner) : nullptr;
}

} // namespace hid::detail
