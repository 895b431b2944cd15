// Container assembly for the module tests.
#include "tests/win/xz_samples.h"

#include <zlib.h>

namespace samples {

namespace {

constexpr uint8_t kCheckCrc64 = 0x04;
constexpr uint64_t kCheckSize = 8;

uint32_t Crc(const uint8_t* p, size_t n) { return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n))); }

void PadTo4(Bytes& out, size_t from)
{
    while ((out.size() - from) % 4 != 0)
        out.push_back(0);
}

Bytes BlockHeader(const Block& b, uint64_t unpadded_guess)
{
    Bytes h = {0x00, static_cast<uint8_t>(b.sizes_in_header ? 0xC0 : 0x00)};
    if (b.sizes_in_header) {
        PutVarint(h, unpadded_guess);
        PutVarint(h, b.uncompressed_size);
    }
    // One LZMA2 filter with its one-byte property.
    h.insert(h.end(), {0x21, 0x01, 0x16});
    PadTo4(h, 0);
    h[0] = static_cast<uint8_t>((h.size() + 4) / 4 - 1);
    PutLe32(h, Crc(h.data(), h.size()));
    return h;
}

} // namespace

void PutLe32(Bytes& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutVarint(Bytes& out, uint64_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

Bytes StreamHeader(uint8_t check)
{
    Bytes out = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00, 0x00, check};
    PutLe32(out, Crc(out.data() + 6, 2));
    return out;
}

Bytes StreamFooter(uint64_t index_size, uint8_t check)
{
    Bytes footer;
    PutLe32(footer, 0);
    PutLe32(footer, static_cast<uint32_t>(index_size / 4 - 1));
    footer.insert(footer.end(), {0x00, check, 0x59, 0x5A});
    const uint32_t crc = Crc(footer.data() + 4, 6);
    for (int i = 0; i < 4; ++i)
        footer[i] = static_cast<uint8_t>(crc >> (8 * i));
    return footer;
}

Bytes EmptyStream() { return Stream({}); }

Bytes Stream(const std::vector<Block>& blocks, size_t extra_index_words)
{
    Bytes out = StreamHeader(kCheckCrc64);
    Bytes index = {0x00};
    PutVarint(index, blocks.size());
    for (const Block& b : blocks) {
        const Bytes header = BlockHeader(b, b.data_size);
        const size_t start = out.size();
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), b.data_size, 0x5D);
        const uint64_t unpadded = header.size() + b.data_size + kCheckSize;
        PadTo4(out, start);
        out.insert(out.end(), kCheckSize, 0xCC);
        PutVarint(index, unpadded);
        PutVarint(index, b.uncompressed_size);
    }
    index.insert(index.end(), 4 * extra_index_words, 0x00);
    PadTo4(index, 0);
    PutLe32(index, Crc(index.data(), index.size()));
    out.insert(out.end(), index.begin(), index.end());

    const Bytes footer = StreamFooter(index.size(), kCheckCrc64);
    out.insert(out.end(), footer.begin(), footer.end());
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace samples
