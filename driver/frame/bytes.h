// Byte utilities of the driver.
#pragma once

#include <cstdint>

namespace zeva::driver {

// Copies bytes up to and including the terminating zero.
void scpy(std::uint8_t* destination, const char* source);
// Copies exactly count bytes (0 copies nothing).
void cpy(std::uint8_t* destination, const std::uint8_t* source, std::uint16_t count);
// Sets count bytes to zero when count, as a signed 16-bit value, is above 0.
void clear(std::uint8_t* destination, std::int16_t count);

}  // namespace zeva::driver
