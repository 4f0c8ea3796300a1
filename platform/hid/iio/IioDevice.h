#pragma once

#include "platform/hid/IioBackend.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace hid::detail::iio {

/// The device of the accelerometer in `folder`, read through its buffer `node` or its raw files
/// as IioBackend describes; `number` is its N, `root` the folder every path is taken below.
std::unique_ptr<Device> makeDevice(std::filesystem::path folder, std::filesystem::path node, std::string name,
                                   std::uint64_t number, IioBackend::Kind kind,
                                   std::shared_ptr<IioBackend::WriteObserver> observer,
                                   std::shared_ptr<IioBackend::NodeOpener> opener, std::filesystem::path root);

} // namespace hid::detail::iio
