#include "CompositeBackend.h"

#include "HidLogging.h"

namespace hid::detail {

namespace {

constexpr int kIndexShift = 56;
constexpr ServiceId kInnerMask = (ServiceId{1} << kIndexShift) - 1;

} // namespace

CompositeBackend::CompositeBackend(std::vector<std::unique_ptr<Backend>> parts)
    : parts(std::move(parts))
{
}

CompositeBackend::CompositeBackend(std::vector<std::unique_ptr<Backend>> parts, std::vector<std::string> names)
    : parts(std::move(parts))
    , names(std::move(names))
{
    this->names.resize(this->parts.size());
}

ReturnCode CompositeBackend::matchingServices(std::string_view className, std::vector<ServiceId>& services)
{
    return collect(&Backend::matchingServices, className, services);
}

ReturnCode CompositeBackend::unreadableServices(std::string_view className, std::vector<ServiceId>& services)
{
    return collect(&Backend::unreadableServices, className, services);
}

ReturnCode CompositeBackend::collect(Enumeration enumerate, std::string_view className,
                                     std::vector<ServiceId>& services)
{
    services.clear();
    ReturnCode firstFailure = kSuccess;
    bool anySucceeded = parts.empty();
    for (std::size_t index = 0; index < parts.size(); ++index) {
        std::vector<ServiceId> found;
        const ReturnCode result = (parts[index].get()->*enumerate)(className, found);
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
    if (!backend) {
        return nullptr;
    }
    auto device = backend->createDevice(inner);
    if (device) {
        logChoice(service);
    }
    return device;
}

void CompositeBackend::logChoice(ServiceId service)
{
    const std::size_t index = service >> kIndexShift;
    if (names.empty() || index >= names.size()) {
        return;
    }
    QString product;
    if (const auto properties = part(service, service)->properties(service)) {
        if (const auto it = properties->find("Product"); it != properties->end()) {
            if (const auto* text = std::get_if<std::string>(&it->second)) {
                product = QString::fromStdString(*text);
            }
        }
    }
    QStringList before;
    for (std::size_t earlier = 0; earlier < index; ++earlier) {
        before << QString::fromStdString(names[earlier]);
    }
    const QString why = before.isEmpty() ? QStringLiteral("the best kind of sensor")
                                         : QStringLiteral("no usable ") + before.join(QStringLiteral(", ")) +
                                               QStringLiteral(" sensor was found before it");
    qCInfo(lcHid).noquote() << "sensor: using the" << QString::fromStdString(names[index]) << "sensor"
                            << (product.isEmpty() ? QStringLiteral("(unnamed)") : "\"" + product + "\"") << "-" << why;
}

} // namespace hid::detail
