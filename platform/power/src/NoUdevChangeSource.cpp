#include "UdevChangeSource.h"

namespace power {

// Built when libudev is not available: power changes are then found by polling.
std::unique_ptr<ChangeSource> makeUdevChangeSource(std::function<void()>) { return nullptr; }

} // namespace power
