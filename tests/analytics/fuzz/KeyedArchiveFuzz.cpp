// libFuzzer entry: the keyed-archive decoder must refuse, never crash, whatever the bytes.
#include "analytics/JSONHandler.h"
#include "analytics/KeyedArchive.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto decoded = tally::KeyedArchive::unarchive(bytes);
    if (decoded.root) {
        // Whatever decodes must also archive and serialise without harm.
        (void)tally::KeyedArchive::archive(*decoded.root);
        (void)tally::JSONHandler::serializeJSONObject(*decoded.root);
    }
    return 0;
}
