// One 16-bit frame as the bytes of a FITS file (cfitsio, in memory).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zeva::tool {

struct FitsKey {
    enum Kind { Text, Integer, Real, Logical } kind = Text;
    std::string name, text, comment;
    long long integer = 0;  // also a logical's value (0 or 1)
    double real = 0;
};

// The file of width x height pixels, line 0 first (FITS row 1), with the
// keys, DATE (when it is made) and CHECKSUM / DATASUM.  Returns an empty
// string on success, else cfitsio's reason.
std::string FitsBytes(long width, long height, const std::vector<std::uint16_t>& pixels,
                      const std::vector<FitsKey>& keys, std::vector<char>* bytes);

}  // namespace zeva::tool
