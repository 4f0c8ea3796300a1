#include "Models/Events.h"

#include <utility>

SlapEvent::SlapEvent(foundation::Date timestamp, int number, double amplitude, std::string severity,
                     std::string fileName)
    : id_(foundation::Uuid::random())
    , timestamp_(timestamp)
    , number_(number)
    , amplitude_(amplitude)
    , severity_(std::move(severity))
    , fileName_(std::move(fileName))
{
}

VolumeMountEvent::VolumeMountEvent(foundation::Date timestamp, bool mounted, std::string volumeName, std::string path,
                                   bool isRemovable, bool isEjectable)
    : id_(foundation::Uuid::random())
    , timestamp_(timestamp)
    , mounted_(mounted)
    , volumeName_(std::move(volumeName))
    , path_(std::move(path))
    , isRemovable_(isRemovable)
    , isEjectable_(isEjectable)
{
}

PowerSourceEvent::PowerSourceEvent(foundation::Date timestamp, std::string title, std::optional<std::string> detail)
    : id_(foundation::Uuid::random())
    , timestamp_(timestamp)
    , title_(std::move(title))
    , detail_(std::move(detail))
{
}

LidCreakEvent::LidCreakEvent(foundation::Date timestamp, bool opened)
    : id_(foundation::Uuid::random())
    , timestamp_(timestamp)
    , opened_(opened)
{
}

VibrationEvent::VibrationEvent(foundation::Date time, std::string severity, std::string symbol, std::string label,
                               double amplitude, std::vector<std::string> sources)
    : time_(time)
    , severity_(std::move(severity))
    , symbol_(std::move(symbol))
    , label_(std::move(label))
    , amplitude_(amplitude)
    , sources_(std::move(sources))
{
}
