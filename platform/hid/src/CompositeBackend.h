#pragma once

#include "platform/hid/Hid.h"

#include <memory>
#include <string>
#include <vector>

namespace hid::detail {

/// The services of several backends in turn, in the order given: the first backend's services
/// come first. Ids carry the backend's index in their top byte. An enumeration fails only when
/// every backend fails (with the first failure). Main thread only.
class CompositeBackend final : public Backend {
public:
    explicit CompositeBackend(std::vector<std::unique_ptr<Backend>> parts);
    /// The same with a name for each part, for the log line that says which sensor is used and why.
    CompositeBackend(std::vector<std::unique_ptr<Backend>> parts, std::vector<std::string> names);

    ReturnCode matchingServices(std::string_view className, std::vector<ServiceId>& services) override;
    std::optional<PropertyDictionary> properties(ServiceId service) override;
    std::unique_ptr<Device> createDevice(ServiceId service) override;
    ReturnCode unreadableServices(std::string_view className, std::vector<ServiceId>& services) override;

private:
    using Enumeration = ReturnCode (Backend::*)(std::string_view, std::vector<ServiceId>&);
    ReturnCode collect(Enumeration enumerate, std::string_view className, std::vector<ServiceId>& services);
    Backend* part(ServiceId service, ServiceId& inner) const;
    void logChoice(ServiceId service);

    std::vector<std::unique_ptr<Backend>> parts;
    std::vector<std::string> names; // empty: nothing is logged
};

} // namespace hid::detail
