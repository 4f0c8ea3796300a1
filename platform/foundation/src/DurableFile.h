#pragma once

// The writer is public now (the audio layer uses it); this name stays for the sources that use it.
#include "platform/foundation/DurableFile.h"
