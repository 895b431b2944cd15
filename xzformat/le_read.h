// Little-endian loads from byte buffers; the container stores every fixed-width field this way.
#ifndef XZFORMAT_LE_READ_H
#define XZFORMAT_LE_READ_H

#include <cstdint>

namespace xzformat {

inline uint32_t ReadLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace xzformat

#endif
