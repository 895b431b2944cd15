// Little-endian loads from byte buffers; the container stores every fixed-width field this way.
#ifndef XZFORMAT_LE_READ_H
#define XZFORMAT_LE_READ_H

#include <cstdint>

namespace xzformat {

inline uint16_t ReadLe16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t ReadLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace xzformat

#endif
