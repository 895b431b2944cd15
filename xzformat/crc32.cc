// zlib's crc32 is the only zlib call the plug-in makes; the probe must not need liblzma.
#include "xzformat/crc32.h"

#include <zlib.h>

#include "xzformat/le_read.h"

namespace xzformat {

uint32_t Crc32(const uint8_t* bytes, size_t length)
{
    // Each checked field is at most 1020 bytes, well inside zlib's uInt.
    return static_cast<uint32_t>(crc32(0, bytes, static_cast<uInt>(length)));
}

bool Crc32Matches(const uint8_t* bytes, size_t length, const uint8_t* stored)
{
    return Crc32(bytes, length) == ReadLe32(stored);
}

} // namespace xzformat
