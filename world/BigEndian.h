#pragma once
// Unsigned 32-bit integers in network byte order (most significant byte
// first), as the stored chunk frame and the chunk-data message hold them.
#include <cstdint>

namespace Tav {

inline std::uint32_t LoadU32BE(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
}

inline void StoreU32BE(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

}  // namespace Tav
