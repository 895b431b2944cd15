// For any bytes and any count of available bytes, the multibyte-integer decoder reads nothing
// beyond min(available, 9) bytes and accepts exactly the shortest encodings that end within them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "xzformat/multibyte.h"

namespace {

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "fuzz_multibyte: property violated: %s (line %d)\n", #cond,       \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Counts the decoder may be handed: small ones byte by byte, and large ones
// that only the nine-byte cap keeps in bounds.
uint32_t PickAvailable(uint8_t selector)
{
    static const uint32_t kLarge[] = {9, 10, 64, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    if (selector & 0x80)
        return kLarge[(selector & 0x7F) % (sizeof(kLarge) / sizeof(kLarge[0]))];
    return selector & 0x0F;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    uint32_t available = PickAvailable(data[0]);
    const uint8_t* bytes = data + 1;
    const size_t have = size - 1;
    // The caller's promise: `available` bytes can be read. Where the input is
    // shorter than the window, promise only what there is.
    const size_t cap = available < 9 ? available : 9;
    if (have < cap)
        available = static_cast<uint32_t>(have);
    const size_t window = available < 9 ? available : 9;

    // Exactly the window on the heap: one byte further is an ASan report.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[window]);
    if (window > 0)
        std::memcpy(buf.get(), bytes, window);

    const uint64_t kUntouched = 0x5A5A5A5A5A5A5A5Aull;
    uint64_t value = kUntouched;
    const int32_t used = xzformat::DecodeMultibyteInteger(buf.get(), available, &value);

    FUZZ_CHECK(used >= 0 && used <= 9);
    FUZZ_CHECK(static_cast<size_t>(used) <= window);
    if (available == 0) {
        FUZZ_CHECK(used == 0 && value == kUntouched);
        return 0;
    }

    // The integer ends at the first byte without bit 7; it is valid when that
    // byte lies in the window and is not a zero following other bytes.
    size_t end = window;
    for (size_t i = 0; i < window; ++i) {
        if ((buf[i] & 0x80) == 0) {
            end = i;
            break;
        }
    }
    const bool valid = end < window && !(end > 0 && buf[end] == 0x00);
    if (!valid) {
        FUZZ_CHECK(used == 0);
        return 0;
    }
    FUZZ_CHECK(static_cast<size_t>(used) == end + 1);
    uint64_t expected = 0;
    for (size_t i = 0; i <= end; ++i)
        expected |= static_cast<uint64_t>(buf[i] & 0x7F) << (7 * i);
    FUZZ_CHECK(value == expected);
    FUZZ_CHECK(value <= 0x7FFFFFFFFFFFFFFFull);
    return 0;
}
