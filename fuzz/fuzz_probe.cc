// For any bytes, opening them as an .xz file never crashes, never reads or writes outside a buffer,
// never allocates more at once than the input holds, and reports results that agree with its two
// readers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "tests/native/alloc_watch.h"
#include "xzformat/byte_source.h"
#include "xzformat/probe.h"

namespace {

using xzformat::ProbeStatus;
using xzformat::SizeAbsent;
using xzformat::SizeError;

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "fuzz_probe: property violated: %s (line %d)\n", #cond,           \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Magic bytes and the stream flags' CRC-32, judged here with zlib alone.
bool SoundStreamHeader(const uint8_t* data, size_t size)
{
    static const uint8_t kMagic[6] = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00};
    if (size < 12 || std::memcmp(data, kMagic, sizeof(kMagic)) != 0)
        return false;
    const uint32_t stored = static_cast<uint32_t>(data[8]) | (static_cast<uint32_t>(data[9]) << 8) |
                            (static_cast<uint32_t>(data[10]) << 16) |
                            (static_cast<uint32_t>(data[11]) << 24);
    return static_cast<uint32_t>(crc32(0, data + 6, 2)) == stored;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    xzformat::MemorySource source(data, size);
    const uint64_t kUnset = 0xA5A5A5A5A5A5A5A5ull;
    xzformat::ProbeResult result{kUnset, kUnset, {}};

    alloc_watch::Watch watch;
    const ProbeStatus status = xzformat::XzProbe(source, &result);
    const int64_t first = xzformat::ReadFirstBlockHeader(source);
    const int64_t chain = xzformat::ReadFooterAndIndex(source, size);
    FUZZ_CHECK(watch.largest() <= size);

    FUZZ_CHECK(first >= 0 || first == SizeAbsent || first == SizeError);
    FUZZ_CHECK(chain >= 0 || chain == SizeError);

    if (size < 12) {
        FUZZ_CHECK(status == ProbeStatus::TooShort);
    } else if (!SoundStreamHeader(data, size)) {
        FUZZ_CHECK(status == ProbeStatus::Malformed);
    } else if (first == SizeError) {
        // A damaged first block header condemns the file whatever its tail says.
        FUZZ_CHECK(status == ProbeStatus::Malformed);
    } else if (chain >= 0 || first >= 0) {
        // The tail's sum when the tail reads as whole streams, else the first header's size.
        FUZZ_CHECK(status == ProbeStatus::Ok);
        FUZZ_CHECK(result.packed_size == size);
        FUZZ_CHECK(result.unpacked_size == static_cast<uint64_t>(chain >= 0 ? chain : first));
    } else {
        FUZZ_CHECK(status == ProbeStatus::Malformed);
    }
    if (status != ProbeStatus::Ok)
        FUZZ_CHECK(result.packed_size == kUnset && result.unpacked_size == kUnset);
    return 0;
}
