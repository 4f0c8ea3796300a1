#pragma once

#include <functional>
#include <string>

namespace testsupport {

/// Runs `body` as a user without the privilege to open other users' files: in a forked child
/// that drops root (to nobody) where the tests run as root. Returns what `body` returned.
std::string asUnprivilegedUser(const std::function<std::string()>& body);

} // namespace testsupport
