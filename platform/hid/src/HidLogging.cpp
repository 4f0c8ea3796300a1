#include "HidLogging.h"

Q_LOGGING_CATEGORY(lcHid, "thwacko.hid")
