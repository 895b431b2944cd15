// Data and archives the native decoder tests share, made by the liblzma
// they link.
#ifndef TESTS_NATIVE_SAMPLES_H
#define TESTS_NATIVE_SAMPLES_H

#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace samples {

using Bytes = std::vector<uint8_t>;

// Lines of words and numbers: compresses to about a third, so its
// compressed form still spans several chunks.
inline Bytes Text(size_t n)
{
    Bytes b;
    b.reserve(n + 64);
    uint32_t x = 12345;
    for (unsigned i = 0; b.size() < n; ++i) {
        x = x * 1103515245u + 12345u;
        const std::string line = "line " + std::to_string(i) + " of text, value " + std::to_string(x >> 8) +
                                 " weight " + std::to_string(x % 977) + "\n";
        b.insert(b.end(), line.begin(), line.end());
    }
    b.resize(n);
    return b;
}

// `streams` streams of blocks of `every` bytes whose headers store no
// sizes, as xz -T1 --block-size writes them; the data is shared out evenly.
inline Bytes EncodeSizeless(const Bytes& data, size_t every, lzma_check check, size_t streams = 1)
{
    Bytes out(lzma_stream_buffer_bound(data.size()) + 4096 * streams);
    size_t used = 0;
    const size_t per_stream = std::max<size_t>(1, (data.size() + streams - 1) / streams);
    size_t start = 0;
    do {
        const size_t end = std::min(data.size(), start + per_stream);
        lzma_stream s = LZMA_STREAM_INIT;
        if (lzma_easy_encoder(&s, 1, check) != LZMA_OK)
            return {};
        s.next_out = out.data() + used;
        s.avail_out = out.size() - used;
        size_t at = start;
        lzma_action action = LZMA_RUN;
        do {
            s.next_in = data.data() + at;
            s.avail_in = std::min(every, end - at);
            action = at + every >= end ? LZMA_FINISH : LZMA_FULL_FLUSH;
            while (lzma_code(&s, action) == LZMA_OK) {
            }
            at += every;
        } while (action != LZMA_FINISH);
        used = out.size() - s.avail_out;
        lzma_end(&s);
        start = end;
    } while (start < data.size());
    out.resize(used);
    return out;
}

} // namespace samples

#endif
