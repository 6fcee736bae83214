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

// Empty when `path` names a regular file or nothing at all; otherwise why no
// frame may be written there ("is a directory", "is a FIFO", ...).  A device
// node or a FIFO is never replaced by a file.
std::string OutputPathProblem(const std::string& path);

// Writes width x height pixels, line 0 first (FITS row 1), with the keys.
// The path is taken literally (no cfitsio filename syntax: "a[1].fits" is
// that file); a regular file there is replaced, anything else refused.
// Returns an empty string on success, else what went wrong.
std::string WriteFits(const std::string& path, long width, long height,
                      const std::vector<std::uint16_t>& pixels, const std::vector<FitsKey>& keys);

}  // namespace zeva::tool
