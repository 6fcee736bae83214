#include "driver/frame/bytes.h"

namespace zeva::driver {

void scpy(std::uint8_t* destination, const char* source) {
    std::uint32_t i = 0;
    do {
        destination[i] = static_cast<std::uint8_t>(source[i]);
    } while (source[i++] != '\0');
}

void cpy(std::uint8_t* destination, const std::uint8_t* source, std::uint16_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        destination[i] = source[i];
    }
}

void clear(std::uint8_t* destination, std::int16_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
        destination[i] = 0;
    }
}

}  // namespace zeva::driver
