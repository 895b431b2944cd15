// Reading and writing recipes, and the archives they make: liblzma encodes each block, the
// container around the blocks is written here so that its sizes can lie on purpose.
#include "fuzz/block_recipe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <lzma.h>

namespace recipe {

namespace {

constexpr uint8_t kDictionaryByteCount = 42;

enum Op : uint8_t { kOpStream, kOpBlock, kOpEdit, kOpDamage, kOpCount };

// Reads fields in order; past the end every byte reads as zero.
class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    size_t left() const { return size_ - std::min(pos_, size_); }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : (pos_++, 0); }
    uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
    uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
    std::vector<uint8_t> Bytes(size_t n)
    {
        n = std::min(n, left());
        std::vector<uint8_t> b(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return b;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

void Put16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& b, uint32_t v)
{
    Put16(b, static_cast<uint16_t>(v));
    Put16(b, static_cast<uint16_t>(v >> 16));
}

SizeField ToSizeField(uint8_t bits) { return bits == 2 ? SizeField::Wrong : bits == 0 ? SizeField::Absent : SizeField::Present; }

StreamPlan& CurrentStream(Recipe& r)
{
    if (r.streams.empty())
        r.streams.emplace_back();
    return r.streams.back();
}

size_t BlockCount(const Recipe& r)
{
    size_t n = 0;
    for (const StreamPlan& s : r.streams)
        n += s.blocks.size();
    return n;
}

} // namespace

Recipe Parse(const uint8_t* data, size_t size)
{
    Cursor c(data, size);
    Recipe r;
    const uint8_t run = c.U8();
    r.test_only = run & 0x01;
    r.writer_buffer = (run >> 1) & 0x03;
    r.no_worker_readers = run & 0x08;
    const uint8_t fault = (run >> 4) & 0x03;
    r.read_fault = fault == 1 ? ReadFault::BadSpot : fault == 2 ? ReadFault::FromOffsetOn : ReadFault::None;
    r.change = run & 0x40;
    r.write_fault = run & 0x80;
    const uint8_t limits = c.U8();
    r.task_input = limits & 0x03;
    r.quiet = (limits >> 2) & 0x03;
    r.budget = (limits >> 4) & 0x03;
    r.max_records = (limits >> 6) & 0x03;
    r.read_fault_at = c.U32();
    r.change_at = c.U32();
    r.change_mask = c.U8();
    r.abort_at = c.U32();
    r.write_fault_at = c.U32();
    const uint8_t more = c.U8();
    r.abort_when_idle = more & 0x01;
    r.no_readers = more & 0x02;

    size_t payload_total = 0;
    while (!c.done()) {
        switch (c.U8() % kOpCount) {
        case kOpStream: {
            const uint8_t flags = c.U8();
            const uint8_t padding = c.U8();
            if (r.streams.size() == kMaxStreams)
                break;
            StreamPlan s;
            s.check = flags & 0x0F;
            s.footer_names_other_check = flags & 0x10;
            s.padding_words = padding;
            r.streams.push_back(s);
            break;
        }
        case kOpBlock: {
            BlockPlan b;
            const uint8_t fields = c.U8();
            b.compressed_field = ToSizeField(fields & 0x03);
            b.uncompressed_field = ToSizeField((fields >> 2) & 0x03);
            b.corrupt_check = fields & 0x10;
            const uint8_t filters = (fields >> 5) & 0x03;
            b.filters = filters == 1 ? Filters::DeltaLzma2 : filters == 2 ? Filters::X86Lzma2 : Filters::Lzma2;
            const bool times16 = fields & 0x80;
            b.dictionary_byte = c.U8() % kDictionaryByteCount;
            const uint8_t shape = c.U8();
            b.encoder_dictionary = shape & 0x03;
            b.payload = static_cast<Payload>((shape >> 2) & 0x03);
            b.header_padding_words = (shape >> 4) & 0x03;
            b.wrong_by = static_cast<int8_t>(c.U8());
            if (b.wrong_by == 0)
                b.wrong_by = 1;
            b.seed = c.U8();
            const uint16_t length = c.U16();
            if (b.payload == Payload::Literal) {
                b.literal = c.Bytes(length);
                b.length = static_cast<uint32_t>(b.literal.size());
            } else {
                b.length = times16 ? uint32_t{length} * 16 : length;
            }
            if (BlockCount(r) == kMaxBlocks)
                break;
            // Past the total, blocks stay but hold nothing.
            if (payload_total + b.length > kMaxPayloadTotal) {
                b.length = 0;
                b.literal.clear();
            }
            payload_total += b.length;
            CurrentStream(r).blocks.push_back(std::move(b));
            break;
        }
        case kOpEdit: {
            IndexEdit e;
            e.kind = static_cast<EditKind>(c.U8() % 8);
            e.record = c.U8();
            e.value = c.U16();
            CurrentStream(r).edits.push_back(e);
            break;
        }
        case kOpDamage: {
            Damage d;
            d.offset = c.U32();
            d.mask = c.U8();
            r.damages.push_back(d);
            break;
        }
        }
    }
    if (r.streams.empty())
        r.streams.emplace_back();
    return r;
}

std::vector<uint8_t> Serialize(const Recipe& r)
{
    std::vector<uint8_t> b;
    const uint8_t fault = r.read_fault == ReadFault::BadSpot ? 1 : r.read_fault == ReadFault::FromOffsetOn ? 2 : 0;
    b.push_back(static_cast<uint8_t>((r.test_only ? 0x01 : 0) | (r.writer_buffer & 0x03) << 1 |
                                     (r.no_worker_readers ? 0x08 : 0) | fault << 4 | (r.change ? 0x40 : 0) |
                                     (r.write_fault ? 0x80 : 0)));
    b.push_back(static_cast<uint8_t>((r.task_input & 0x03) | (r.quiet & 0x03) << 2 | (r.budget & 0x03) << 4 |
                                     (r.max_records & 0x03) << 6));
    Put32(b, r.read_fault_at);
    Put32(b, r.change_at);
    b.push_back(r.change_mask);
    Put32(b, r.abort_at);
    Put32(b, r.write_fault_at);
    b.push_back(static_cast<uint8_t>((r.abort_when_idle ? 0x01 : 0) | (r.no_readers ? 0x02 : 0)));
    for (const StreamPlan& s : r.streams) {
        b.push_back(kOpStream);
        b.push_back(static_cast<uint8_t>((s.check & 0x0F) | (s.footer_names_other_check ? 0x10 : 0)));
        b.push_back(s.padding_words);
        for (const BlockPlan& k : s.blocks) {
            const bool literal = k.payload == Payload::Literal;
            const bool times16 = !literal && k.length > 0xFFFF;
            b.push_back(kOpBlock);
            b.push_back(static_cast<uint8_t>(static_cast<uint8_t>(k.compressed_field) |
                                             static_cast<uint8_t>(k.uncompressed_field) << 2 |
                                             (k.corrupt_check ? 0x10 : 0) | static_cast<uint8_t>(k.filters) << 5 |
                                             (times16 ? 0x80 : 0)));
            b.push_back(k.dictionary_byte);
            b.push_back(static_cast<uint8_t>((k.encoder_dictionary & 0x03) | static_cast<uint8_t>(k.payload) << 2 |
                                             (k.header_padding_words & 0x03) << 4));
            b.push_back(static_cast<uint8_t>(k.wrong_by));
            b.push_back(k.seed);
            Put16(b, static_cast<uint16_t>(literal ? k.literal.size() : times16 ? k.length / 16 : k.length));
            if (literal)
                b.insert(b.end(), k.literal.begin(), k.literal.end());
        }
        for (const IndexEdit& e : s.edits) {
            b.push_back(kOpEdit);
            b.push_back(static_cast<uint8_t>(e.kind));
            b.push_back(e.record);
            Put16(b, e.value);
        }
    }
    for (const Damage& d : r.damages) {
        b.push_back(kOpDamage);
        Put32(b, d.offset);
        b.push_back(d.mask);
    }
    return b;
}

bool operator==(const Recipe& a, const Recipe& b)
{
    // Serialize writes every field, so equal bytes mean equal recipes.
    return Serialize(a) == Serialize(b);
}

uint64_t TaskInput(const Recipe& r) { return uint64_t{1024} << (2 * r.task_input); }

uint32_t QuietMs(const Recipe& r)
{
    static constexpr uint32_t kQuiet[4] = {50, 5, 1, 0};
    return kQuiet[r.quiet & 3];
}

uint64_t BudgetBytes(const Recipe& r)
{
    // 3.25 MiB holds two workers with a small dictionary and the smallest
    // lanes; 2 MiB never holds two, so the stream decoder runs.
    static constexpr uint64_t kBudget[4] = {48u << 20, (13u << 20) / 4, 2u << 20, 48u << 20};
    return kBudget[r.budget & 3];
}

uint64_t MaxRecords(const Recipe& r)
{
    static constexpr uint64_t kMax[4] = {uint64_t{1} << 20, 1, 8, uint64_t{1} << 20};
    return kMax[r.max_records & 3];
}

size_t WriterBuffer(const Recipe& r)
{
    // The plug-in's 1 MiB is the last: under AddressSanitizer every buffer
    // past 128 KiB is a fresh mapping, which would cost most of a run.
    static constexpr size_t kBuffer[4] = {65536, 4096, 16384, size_t{1} << 20};
    return kBuffer[r.writer_buffer & 3];
}

namespace {

void PutVli(std::vector<uint8_t>& b, uint64_t v)
{
    while (v >= 0x80) {
        b.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    b.push_back(static_cast<uint8_t>(v));
}

uint32_t Crc(const uint8_t* p, size_t n) { return lzma_crc32(p, n, 0); }

// liblzma sizes the check field for every ID, those it cannot compute too.
size_t CheckSize(uint8_t id) { return lzma_check_size(static_cast<lzma_check>(id & 0x0F)); }

uint64_t PaddedSize(uint64_t n) { return (n + 3) & ~uint64_t{3}; }

// Unsigned sizes moved by a signed amount, kept within what a field can hold.
uint64_t Moved(uint64_t v, int64_t by)
{
    if (by < 0)
        return v < static_cast<uint64_t>(-by) ? 0 : v - static_cast<uint64_t>(-by);
    return std::min(LZMA_VLI_MAX, v + static_cast<uint64_t>(by));
}

void MakePayload(const BlockPlan& b, uint32_t block_number, std::vector<uint8_t>& p)
{
    p.assign(b.length, 0);
    uint32_t x = (uint32_t{b.seed} << 8 | (block_number & 0xFF)) * 2654435761u + 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    switch (b.payload) {
    case Payload::Zeros:
        break;
    case Payload::Noise:
        for (size_t at = 0; at < p.size(); at += sizeof(uint32_t)) {
            const uint32_t v = next();
            std::memcpy(p.data() + at, &v, std::min(sizeof(v), p.size() - at));
        }
        break;
    case Payload::Words: {
        // Few distinct words: LZMA2 packs them to about a fifth.
        static const char* const kWords[8] = {"block ", "index ", "stream ", "record ", "\n", "0123 ", "padding ", "check "};
        for (size_t at = 0; at < p.size();) {
            const char* w = kWords[next() >> 29];
            const size_t n = std::min(std::strlen(w), p.size() - at);
            std::memcpy(p.data() + at, w, n);
            at += n;
        }
        break;
    }
    case Payload::Literal:
        p = b.literal;
        break;
    }
}

struct EncodedBlock {
    std::vector<uint8_t> header;
    std::vector<uint8_t> rest; // compressed data, block padding and check
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
};

// The filter flags as the header carries them, the encoder's chain beside them.
bool EncodeBlock(const BlockPlan& b, uint8_t check, const std::vector<uint8_t>& payload, EncodedBlock* out)
{
    lzma_options_lzma lzma2;
    if (lzma_lzma_preset(&lzma2, 0))
        return false;
    lzma2.dict_size = uint32_t{4096} << (2 * b.encoder_dictionary);
    lzma_options_delta delta{};
    delta.type = LZMA_DELTA_TYPE_BYTE;
    delta.dist = 1 + (b.seed & 3u);
    lzma_filter chain[3];
    std::vector<uint8_t> filter_flags;
    size_t n = 0;
    if (b.filters == Filters::DeltaLzma2) {
        chain[n++] = {LZMA_FILTER_DELTA, &delta};
        filter_flags.insert(filter_flags.end(), {0x03, 0x01, static_cast<uint8_t>(delta.dist - 1)});
    } else if (b.filters == Filters::X86Lzma2) {
        chain[n++] = {LZMA_FILTER_X86, nullptr};
        filter_flags.insert(filter_flags.end(), {0x04, 0x00});
    }
    chain[n++] = {LZMA_FILTER_LZMA2, &lzma2};
    chain[n] = {LZMA_VLI_UNKNOWN, nullptr};
    filter_flags.insert(filter_flags.end(), {0x21, 0x01, b.dictionary_byte});

    // liblzma computes only the checks it knows; for the others the field
    // is filled here, with bytes no decoder can verify.
    const bool known = lzma_check_is_supported(static_cast<lzma_check>(check));
    lzma_block block{};
    block.version = 0;
    block.check = known ? static_cast<lzma_check>(check) : LZMA_CHECK_NONE;
    block.filters = chain;
    block.compressed_size = LZMA_VLI_UNKNOWN;
    block.uncompressed_size = LZMA_VLI_UNKNOWN;
    // An encoder kept for each filter chain and dictionary, for every block
    // of every recipe: liblzma reuses its buffers only for the same
    // options, and a fresh encoder's mapping and zeroed tables would cost
    // much of a fuzzing run's time.
    static lzma_stream encoders[3][4] = {};
    lzma_stream& s = encoders[static_cast<int>(b.filters)][b.encoder_dictionary & 3];
    if (lzma_block_encoder(&s, &block) != LZMA_OK)
        return false;
    out->rest.resize(std::max(out->rest.capacity(), lzma_block_buffer_bound(payload.size()) + 64));
    s.next_in = payload.data();
    s.avail_in = payload.size();
    s.next_out = out->rest.data();
    s.avail_out = out->rest.size();
    const lzma_ret ret = lzma_code(&s, LZMA_FINISH);
    out->rest.resize(out->rest.size() - s.avail_out);
    if (ret != LZMA_STREAM_END)
        return false;
    if (!known)
        out->rest.insert(out->rest.end(), CheckSize(check), static_cast<uint8_t>(0xA5 ^ b.seed));
    if (b.corrupt_check && CheckSize(check) > 0)
        out->rest[out->rest.size() - CheckSize(check)] ^= 0x01;
    out->compressed = block.compressed_size;
    out->uncompressed = block.uncompressed_size;

    // A wrong size is off by the recipe's amount, but never 0 where the
    // format wants at least 1.
    auto field = [&](SizeField f, uint64_t right, uint64_t least) {
        uint64_t v = Moved(right, b.wrong_by);
        if (v < least || v == right)
            v = Moved(right, b.wrong_by < 0 ? -int64_t{b.wrong_by} : int64_t{b.wrong_by});
        return f == SizeField::Wrong ? v : right;
    };
    std::vector<uint8_t> h;
    h.push_back(0); // header size, set below
    h.push_back(static_cast<uint8_t>((n - 1) | (b.compressed_field != SizeField::Absent ? 0x40 : 0) |
                                     (b.uncompressed_field != SizeField::Absent ? 0x80 : 0)));
    if (b.compressed_field != SizeField::Absent)
        PutVli(h, field(b.compressed_field, out->compressed, 1));
    if (b.uncompressed_field != SizeField::Absent)
        PutVli(h, field(b.uncompressed_field, out->uncompressed, 0));
    h.insert(h.end(), filter_flags.begin(), filter_flags.end());
    while ((h.size() + 4) % 4 != 0)
        h.push_back(0);
    h.insert(h.end(), 4 * size_t{b.header_padding_words}, 0);
    h[0] = static_cast<uint8_t>((h.size() + 4) / 4 - 1);
    Put32(h, Crc(h.data(), h.size()));
    out->header = std::move(h);
    return true;
}

struct IndexRecord {
    uint64_t unpadded;
    uint64_t uncompressed;
    bool operator==(const IndexRecord& o) const { return unpadded == o.unpadded && uncompressed == o.uncompressed; }
};

void ApplyEdit(std::vector<IndexRecord>& r, const IndexEdit& e)
{
    const int64_t value = static_cast<int16_t>(e.value);
    if (r.empty()) {
        if (e.kind == EditKind::Duplicate)
            r.push_back({8 + uint64_t{e.value}, e.value}); // a record of a block that is not there
        return;
    }
    const size_t i = e.record % r.size();
    const size_t next = (i + 1) % r.size();
    switch (e.kind) {
    case EditKind::AddUnpadded:
        r[i].unpadded = Moved(r[i].unpadded, value);
        break;
    case EditKind::AddUncompressed:
        r[i].uncompressed = Moved(r[i].uncompressed, value);
        break;
    case EditKind::MoveUnpadded: {
        const int64_t by = 4 * int64_t{static_cast<int8_t>(e.value & 0xFF)};
        if (next != i) {
            r[i].unpadded = Moved(r[i].unpadded, -by);
            r[next].unpadded = Moved(r[next].unpadded, by);
        }
        break;
    }
    case EditKind::Duplicate:
        r.insert(r.begin() + static_cast<std::ptrdiff_t>(i), r[i]);
        break;
    case EditKind::Drop:
        r.erase(r.begin() + static_cast<std::ptrdiff_t>(i));
        break;
    case EditKind::Merge:
        if (i + 1 < r.size()) {
            r[i] = {PaddedSize(r[i].unpadded) + r[i + 1].unpadded, r[i].uncompressed + r[i + 1].uncompressed};
            r.erase(r.begin() + static_cast<std::ptrdiff_t>(i + 1));
        }
        break;
    case EditKind::Split: {
        const uint64_t words = PaddedSize(r[i].unpadded) / 4;
        if (words >= 4) {
            const uint64_t first = 4 * (2 + e.value % (words - 3));
            const IndexRecord second{r[i].unpadded - first, r[i].uncompressed - r[i].uncompressed / 2};
            r[i] = {first, r[i].uncompressed / 2};
            r.insert(r.begin() + static_cast<std::ptrdiff_t>(i + 1), second);
        }
        break;
    }
    case EditKind::HugeUncompressed:
        r[i].uncompressed = uint64_t{e.value} << 24;
        break;
    }
}

std::vector<uint8_t> StreamFlags(uint8_t check) { return {0x00, static_cast<uint8_t>(check & 0x0F)}; }

} // namespace

bool Build(const Recipe& r, Archive* out)
{
    std::vector<uint8_t>& f = out->file;
    f.clear();
    out->payload.clear();
    out->damaged = false;
    out->index_lies = false;
    out->header_lies = false;
    out->listed_blocks.clear();
    uint32_t block_number = 0;
    // Buffers kept from block to block, and from recipe to recipe.
    static std::vector<uint8_t> payload;
    static EncodedBlock e;
    for (const StreamPlan& s : r.streams) {
        const std::vector<uint8_t> flags = StreamFlags(s.check);
        f.insert(f.end(), {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00});
        f.insert(f.end(), flags.begin(), flags.end());
        Put32(f, Crc(flags.data(), flags.size()));

        std::vector<IndexRecord> records;
        for (const BlockPlan& b : s.blocks) {
            out->header_lies = out->header_lies || b.compressed_field == SizeField::Wrong ||
                               b.uncompressed_field == SizeField::Wrong;
            MakePayload(b, block_number++, payload);
            if (!EncodeBlock(b, s.check, payload, &e))
                return false;
            f.insert(f.end(), e.header.begin(), e.header.end());
            f.insert(f.end(), e.rest.begin(), e.rest.end());
            records.push_back({e.header.size() + e.compressed + CheckSize(s.check), e.uncompressed});
            out->payload.insert(out->payload.end(), payload.begin(), payload.end());
        }
        const std::vector<IndexRecord> blocks = records;
        for (const IndexEdit& e : s.edits)
            ApplyEdit(records, e);
        out->index_lies = out->index_lies || records != blocks;

        uint64_t block_end = f.size();
        for (size_t i = records.size(); i > 0; --i) {
            const uint64_t padded = PaddedSize(records[i - 1].unpadded);
            const uint64_t start = block_end < padded ? 0 : block_end - padded;
            out->listed_blocks.emplace_back(start, block_end);
            block_end = start;
        }

        std::vector<uint8_t> index = {0x00};
        PutVli(index, records.size());
        for (const IndexRecord& rec : records) {
            PutVli(index, std::min(rec.unpadded, LZMA_VLI_MAX));
            PutVli(index, std::min(rec.uncompressed, LZMA_VLI_MAX));
        }
        while (index.size() % 4 != 0)
            index.push_back(0);
        Put32(index, Crc(index.data(), index.size()));
        f.insert(f.end(), index.begin(), index.end());

        std::vector<uint8_t> footer;
        Put32(footer, static_cast<uint32_t>(index.size() / 4 - 1));
        const std::vector<uint8_t> footer_flags =
            StreamFlags(s.footer_names_other_check ? static_cast<uint8_t>(s.check + 1) : s.check);
        footer.insert(footer.end(), footer_flags.begin(), footer_flags.end());
        Put32(f, Crc(footer.data(), footer.size()));
        f.insert(f.end(), footer.begin(), footer.end());
        f.insert(f.end(), {0x59, 0x5A});
        f.insert(f.end(), 4 * size_t{s.padding_words}, 0);
    }
    for (const Damage& d : r.damages) {
        if (d.mask == 0 || f.empty())
            continue;
        f[d.offset % f.size()] ^= d.mask;
        out->damaged = true;
    }
    return true;
}

bool Archive::InListedBlock(uint64_t offset) const
{
    for (const auto& [start, end] : listed_blocks)
        if (start <= offset && offset < end)
            return true;
    return false;
}

std::string Describe(const Recipe& r)
{
    static const char* const kFault[3] = {"none", "bad spot", "from offset on"};
    static const char* const kField[3] = {"-", "ok", "wrong"};
    static const char* const kPayload[4] = {"zeros", "noise", "words", "literal"};
    static const char* const kEdit[8] = {"add-unpadded", "add-uncompressed", "move-unpadded", "duplicate",
                                         "drop", "merge", "split", "huge-uncompressed"};
    std::string out;
    char line[256];
    std::snprintf(line, sizeof(line),
                  "run: %s, writer buffer %zu, %s readers, read fault %s at %u, change %s at %u ^%02x, abort at "
                  "%u%s, write fault %s at %u; task %llu, quiet %u ms, budget %llu, max records %llu\n",
                  r.test_only ? "test" : "extract", WriterBuffer(r),
                  r.no_readers ? "no" : r.no_worker_readers ? "no worker" : "own",
                  kFault[static_cast<int>(r.read_fault)], r.read_fault_at, r.change ? "on" : "off", r.change_at,
                  r.change_mask, r.abort_at, r.abort_when_idle ? " or when idle" : "", r.write_fault ? "on" : "off",
                  r.write_fault_at,
                  static_cast<unsigned long long>(TaskInput(r)), QuietMs(r),
                  static_cast<unsigned long long>(BudgetBytes(r)), static_cast<unsigned long long>(MaxRecords(r)));
    out += line;
    for (const StreamPlan& s : r.streams) {
        std::snprintf(line, sizeof(line), "stream: check %u%s, padding %u words\n", s.check,
                      s.footer_names_other_check ? " (footer differs)" : "", s.padding_words);
        out += line;
        for (const BlockPlan& b : s.blocks) {
            std::snprintf(line, sizeof(line),
                          "  block: %s %u bytes (seed %u), sizes %s/%s off by %d, dict byte %u, encoder dict %u "
                          "KiB, filters %d, header +%u words%s\n",
                          kPayload[static_cast<int>(b.payload)], b.length, b.seed,
                          kField[static_cast<int>(b.compressed_field)], kField[static_cast<int>(b.uncompressed_field)],
                          b.wrong_by, b.dictionary_byte, 4u << (2 * b.encoder_dictionary), static_cast<int>(b.filters),
                          b.header_padding_words, b.corrupt_check ? ", check wrong" : "");
            out += line;
        }
        for (const IndexEdit& e : s.edits) {
            std::snprintf(line, sizeof(line), "  index edit: %s of record %u by %u\n", kEdit[static_cast<int>(e.kind)],
                          e.record, e.value);
            out += line;
        }
    }
    for (const Damage& d : r.damages) {
        std::snprintf(line, sizeof(line), "damage: ^%02x at %u\n", d.mask, d.offset);
        out += line;
    }
    return out;
}

} // namespace recipe
