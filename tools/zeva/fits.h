// Writing one 16-bit frame as a FITS file (cfitsio).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zeva::tool {

struct FitsKey {
    enum Kind { Text, Integer, Real } kind = Text;
    std::string name, text, comment;
    long long integer = 0;
    double real = 0;
};

// Writes width x height pixels, line 0 first (FITS row 1), with the keys.
// Returns an empty string on success, else the cfitsio message.
std::string WriteFits(const std::string& path, long width, long height,
                      const std::vector<std::uint16_t>& pixels, const std::vector<FitsKey>& keys);

}  // namespace zeva::tool
