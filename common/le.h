// Little-endian field access for records that cross a boundary as bytes.
//
// Every record of the command set is read and written through these helpers
// at its documented byte offset; nothing casts a byte buffer to a struct.
// All helpers take the buffer's real length and refuse (return false / leave
// the output untouched) when the field would not fit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zeva::le {

// Unchecked forms: the caller has already checked that offset + width <= length.
inline std::uint8_t Get8(const std::uint8_t* p, std::size_t off) { return p[off]; }
inline std::uint16_t Get16(const std::uint8_t* p, std::size_t off) {
    return static_cast<std::uint16_t>(p[off] | (p[off + 1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* p, std::size_t off) {
    return static_cast<std::uint32_t>(p[off]) | (static_cast<std::uint32_t>(p[off + 1]) << 8) |
           (static_cast<std::uint32_t>(p[off + 2]) << 16) |
           (static_cast<std::uint32_t>(p[off + 3]) << 24);
}
inline std::uint64_t Get64(const std::uint8_t* p, std::size_t off) {
    return static_cast<std::uint64_t>(Get32(p, off)) |
           (static_cast<std::uint64_t>(Get32(p, off + 4)) << 32);
}
inline std::int16_t GetI16(const std::uint8_t* p, std::size_t off) {
    return static_cast<std::int16_t>(Get16(p, off));
}
inline std::int32_t GetI32(const std::uint8_t* p, std::size_t off) {
    return static_cast<std::int32_t>(Get32(p, off));
}

inline void Put8(std::uint8_t* p, std::size_t off, std::uint8_t v) { p[off] = v; }
inline void Put16(std::uint8_t* p, std::size_t off, std::uint16_t v) {
    p[off] = static_cast<std::uint8_t>(v);
    p[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::size_t off, std::uint32_t v) {
    p[off] = static_cast<std::uint8_t>(v);
    p[off + 1] = static_cast<std::uint8_t>(v >> 8);
    p[off + 2] = static_cast<std::uint8_t>(v >> 16);
    p[off + 3] = static_cast<std::uint8_t>(v >> 24);
}
inline void Put64(std::uint8_t* p, std::size_t off, std::uint64_t v) {
    Put32(p, off, static_cast<std::uint32_t>(v));
    Put32(p, off + 4, static_cast<std::uint32_t>(v >> 32));
}

// Bounded view over a caller's buffer: every access checks the real length.
struct Bytes {
    std::uint8_t* data;
    std::size_t length;

    bool Holds(std::size_t off, std::size_t width) const {
        return data != nullptr && off <= length && width <= length - off;
    }
};

}  // namespace zeva::le
