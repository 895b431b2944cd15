// CRC-32 of the container's header fields, computed by zlib.
#ifndef XZFORMAT_CRC32_H
#define XZFORMAT_CRC32_H

#include <cstddef>
#include <cstdint>

namespace xzformat {

// CRC-32 (IEEE 802.3, as zlib computes it) of one contiguous buffer.
uint32_t Crc32(const uint8_t* bytes, size_t length);

// True when the CRC-32 of bytes[0, length) equals the little-endian value at stored.
bool Crc32Matches(const uint8_t* bytes, size_t length, const uint8_t* stored);

} // namespace xzformat

#endif
