// The origin checks on any bytes: no crash, and whatever is accepted is an origin that
// passes the check again unchanged and that a Referer made from it gives back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Tessaroll/Origin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto origin = validOrigin(text)) {
        if (*origin != text || validOrigin(*origin) != origin) std::abort();
        if (originOfUrl(std::string(*origin) + "/path?query#fragment") != origin) std::abort();
    }
    if (auto fromUrl = originOfUrl(text)) {
        if (!validOrigin(*fromUrl) || !text.starts_with(*fromUrl)) std::abort();
    }
    return 0;
}
