// Decoder of the container's multibyte integers.
#include "xzformat/multibyte.h"

#include "xzformat/xz_format.h"

namespace xzformat {

namespace {
constexpr uint8_t kContinuationBit = 0x80;
constexpr uint8_t kGroupMask = 0x7F;
constexpr unsigned kGroupBits = 7;
} // namespace

int32_t DecodeMultibyteInteger(const uint8_t* bytes, uint32_t available, uint64_t* value)
{
    if (available == 0)
        return 0;
    const uint32_t limit = available < kMultibyteMaxBytes ? available : kMultibyteMaxBytes;

    *value = bytes[0] & kGroupMask;
    if ((bytes[0] & kContinuationBit) == 0)
        return 1;

    for (uint32_t i = 1;; ++i) {
        if (i >= limit)
            return 0;
        const uint8_t b = bytes[i];
        // A trailing zero group would make a second, longer spelling of the
        // same value; the format allows only the shortest one.
        if (b == 0x00)
            return 0;
        *value |= static_cast<uint64_t>(b & kGroupMask) << (kGroupBits * i);
        if ((b & kContinuationBit) == 0)
            return static_cast<int32_t>(i + 1);
    }
}

} // namespace xzformat
