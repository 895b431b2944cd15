// Writes the seed recipes of fuzz_block_recipe into a folder, one file per case named after what
// it exercises, and holds the recipe writer to liblzma: each seed reads back as the recipe it was
// written from, and each archive meant to be sound decodes with liblzma to its payload.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <lzma.h>

#include "fuzz/block_recipe.h"

namespace {

using namespace recipe;

BlockPlan Block(Payload payload, uint32_t length, uint8_t seed = 1)
{
    BlockPlan b;
    b.payload = payload;
    b.length = length;
    b.seed = seed;
    return b;
}

StreamPlan Stream(uint8_t check, std::vector<BlockPlan> blocks, uint8_t padding_words = 0)
{
    StreamPlan s;
    s.check = check;
    s.blocks = std::move(blocks);
    s.padding_words = padding_words;
    return s;
}

std::vector<BlockPlan> SmallBlocks(size_t n, uint32_t length)
{
    std::vector<BlockPlan> blocks;
    for (size_t i = 0; i < n; ++i)
        blocks.push_back(Block(i % 3 == 0 ? Payload::Noise : Payload::Words, length + 37 * static_cast<uint32_t>(i),
                               static_cast<uint8_t>(i)));
    return blocks;
}

// Where block n (from 0, in file order) of the recipe's archive starts.
uint32_t BlockStart(const Recipe& r, size_t n)
{
    Archive a;
    Build(r, &a);
    std::vector<uint64_t> starts;
    for (const auto& block : a.listed_blocks)
        starts.push_back(block.first);
    std::sort(starts.begin(), starts.end());
    return static_cast<uint32_t>(starts.at(n));
}

struct Seed {
    const char* name;
    bool sound; // the archive is a valid .xz file holding the payload
    Recipe recipe;
};

std::vector<Seed> Seeds()
{
    std::vector<Seed> seeds;
    auto add = [&](const char* name, bool sound, Recipe r) { seeds.push_back({name, sound, std::move(r)}); };

    {   // Several streams, sizes stored and not, padding between them.
        Recipe r;
        std::vector<BlockPlan> sized = SmallBlocks(4, 3000);
        for (BlockPlan& b : sized)
            b.compressed_field = b.uncompressed_field = SizeField::Present;
        r.streams = {Stream(4, sized, 2), Stream(1, SmallBlocks(5, 2000), 1), Stream(0, SmallBlocks(3, 5000))};
        add("streams-mixed-sizes", true, r);
    }
    {   // Many small blocks in one stream: several per task, many tasks.
        Recipe r;
        r.task_input = 0;
        r.streams = {Stream(1, SmallBlocks(60, 300))};
        add("blocks-many-small", true, r);
    }
    {   // Large output through the smallest lanes, the ring wrapping.
        Recipe r;
        r.budget = 1;
        r.writer_buffer = 1;
        r.streams = {Stream(4, {Block(Payload::Zeros, 500000), Block(Payload::Noise, 200000, 7),
                                Block(Payload::Words, 300000, 9)})};
        add("lanes-smallest-wrapping", true, r);
    }
    {   // An empty stream, an empty block, SHA-256, the delta and x86 filters, padded headers.
        Recipe r;
        BlockPlan delta = Block(Payload::Words, 20000, 3);
        delta.filters = Filters::DeltaLzma2;
        delta.header_padding_words = 3;
        BlockPlan x86 = Block(Payload::Noise, 9000, 4);
        x86.filters = Filters::X86Lzma2;
        x86.encoder_dictionary = 2;
        x86.dictionary_byte = 8;
        r.streams = {Stream(10, {}), Stream(10, {delta, Block(Payload::Zeros, 0), x86}, 3), Stream(0, {})};
        add("checks-filters-empty", true, r);
    }
    {   // A wrong check in a later block, the abort before it.
        Recipe r;
        std::vector<BlockPlan> blocks = SmallBlocks(6, 8000);
        blocks[4].corrupt_check = true;
        r.streams = {Stream(4, blocks)};
        r.abort_at = 20000;
        add("check-wrong-abort-before", false, r);
    }
    {   // The same wrong check, the abort and then a write fault set within the
        // last bytes before it: the stream decoder drops the output of its
        // failing step, the block decoder hands its over.
        Recipe r;
        std::vector<BlockPlan> blocks = SmallBlocks(6, 8000);
        blocks[4].corrupt_check = true;
        r.streams = {Stream(4, blocks)};
        uint32_t before_end = 0;
        for (size_t i = 0; i < 5; ++i)
            before_end += blocks[i].length;
        r.abort_at = before_end - 170;
        add("check-wrong-abort-in-last-step", false, r);
        r.abort_at = 0;
        r.write_fault = true;
        r.write_fault_at = before_end - 170;
        add("check-wrong-write-fault-in-last-step", false, r);
    }
    {   // Within one input chunk of the stream decoder: an abort, then a wrong
        // check; a write fault, then an abort. It runs the chunk to its end
        // and the event met last decides; the block decoder stops at the first.
        Recipe r;
        BlockPlan zeros = Block(Payload::Zeros, 100000);
        zeros.corrupt_check = true;
        r.streams = {Stream(4, {Block(Payload::Noise, 3000), zeros})};
        r.abort_at = 50000;
        add("abort-then-wrong-check-in-one-chunk", false, r);
        zeros.corrupt_check = false;
        r.streams = {Stream(4, {Block(Payload::Noise, 3000), zeros})};
        r.write_fault = true;
        r.write_fault_at = 20000;
        add("write-fault-then-abort-in-one-chunk", true, r);
    }
    {   // The walk finds the second stream's index wrong (a record 4 bytes
        // longer, so no stream header where it leads); the stream decoder
        // fails first, at a 2 GiB dictionary in the first stream.
        Recipe r;
        std::vector<BlockPlan> first = SmallBlocks(3, 3000);
        first[2].dictionary_byte = 38;
        StreamPlan second = Stream(4, SmallBlocks(2, 3000));
        second.edits = {{EditKind::AddUnpadded, 0, 4}};
        r.streams = {Stream(4, first), second};
        add("walk-fails-stream-decoder-fails-before", false, r);
    }
    {   // Four bytes moved from the second record to the first: the block
        // decoder fails on the first block, the stream decoder decodes it and
        // fails on the second block's 768 MiB dictionary.
        Recipe r;
        BlockPlan big = Block(Payload::Noise, 65535, 0);
        BlockPlan claims = Block(Payload::Zeros, 264);
        claims.dictionary_byte = 35;
        StreamPlan s = Stream(4, {big, claims});
        s.edits = {{EditKind::MoveUnpadded, 1, 1}};
        r.streams = {s};
        add("index-lies-each-decoder-its-own-fault", false, r);
    }
    {   // A header one byte off in its uncompressed size, and a read fault in
        // its data: 12 from the block decoder at the block's start, 18 from
        // the stream decoder at the bad spot.
        Recipe r;
        BlockPlan noise = Block(Payload::Noise, 400000, 2);
        noise.uncompressed_field = SizeField::Wrong;
        r.streams = {Stream(1, {noise, Block(Payload::Words, 3000), Block(Payload::Zeros, 9000)})};
        r.read_fault = ReadFault::BadSpot;
        r.read_fault_at = BlockStart(r, 0) + 256 * 1024;
        add("header-lies-read-fault-in-its-data", false, r);
    }
    {   // Sizes moved between records: the walk passes, the blocks are not where the index says.
        Recipe r;
        StreamPlan s = Stream(1, SmallBlocks(5, 4000));
        s.edits = {{EditKind::MoveUnpadded, 1, 2}};
        r.streams = {Stream(4, SmallBlocks(3, 3000)), s};
        add("index-sizes-moved", false, r);
    }
    {   // A record that claims one byte more than its block holds, and a split record.
        Recipe r;
        StreamPlan s = Stream(4, SmallBlocks(4, 6000));
        s.edits = {{EditKind::AddUncompressed, 2, 1}};
        StreamPlan t = Stream(4, SmallBlocks(3, 6000));
        t.edits = {{EditKind::Split, 0, 5}};
        r.streams = {s, t};
        add("index-record-lies", false, r);
    }
    {   // A read fault in the last index, a block before it with a wrong check.
        Recipe r;
        std::vector<BlockPlan> blocks = SmallBlocks(4, 5000);
        blocks[1].corrupt_check = true;
        r.streams = {Stream(4, blocks), Stream(4, SmallBlocks(2, 3000))};
        r.read_fault = ReadFault::BadSpot;
        Archive a;
        Build(r, &a);
        r.read_fault_at = static_cast<uint32_t>(a.file.size() - 20); // in the last index
        add("read-fault-in-index", false, r);
    }
    {   // A read fault inside a block's data, which only a worker reads.
        Recipe r;
        r.streams = {Stream(1, SmallBlocks(8, 4000)), Stream(1, SmallBlocks(2, 4000))};
        r.read_fault = ReadFault::BadSpot;
        r.read_fault_at = 15000;
        add("read-fault-in-block", true, r);
    }
    {   // Read faults where a worker starts a block, inside its header, and
        // where a block longer than a worker's window needs a second read.
        Recipe r;
        r.streams = {Stream(1, SmallBlocks(8, 4000))};
        r.read_fault = ReadFault::BadSpot;
        r.read_fault_at = BlockStart(r, 3);
        add("read-fault-at-block-start", true, r);
        r.read_fault_at += 5;
        add("read-fault-in-block-header", true, r);
        r.streams = {Stream(1, {Block(Payload::Noise, 400000, 2), Block(Payload::Words, 3000), Block(Payload::Zeros, 9000)})};
        r.read_fault_at = BlockStart(r, 0) + 256 * 1024;
        add("read-fault-at-second-window", true, r);
    }
    {   // A byte of the first index changed once the walk is over.
        Recipe r;
        r.streams = {Stream(4, SmallBlocks(3, 4000)), Stream(4, SmallBlocks(3, 4000))};
        Recipe first;
        first.streams = {r.streams[0]};
        Archive a;
        Build(first, &a);
        r.change = true;
        r.change_mask = 0x40;
        r.change_at = static_cast<uint32_t>(a.file.size() - 16); // the first index's CRC-32
        add("change-after-walk-in-index", true, r);
    }
    {   // A write fault through a small writer buffer, the workers sharing the walk's reader.
        Recipe r;
        r.write_fault = true;
        r.write_fault_at = 50000;
        r.writer_buffer = 1;
        r.no_worker_readers = true;
        r.quiet = 3;
        r.streams = {Stream(1, SmallBlocks(12, 9000))};
        add("write-fault-shared-reader", true, r);
    }
    {   // The host aborts at the first report of 0 bytes, which the block
        // decoder sends while it waits; no time between such reports.
        Recipe r;
        r.abort_when_idle = true;
        r.quiet = 3;
        r.streams = {Stream(1, SmallBlocks(30, 2000)), Stream(4, SmallBlocks(30, 2000))};
        add("abort-when-idle", true, r);
    }
    {   // A check liblzma does not know, in the second stream.
        Recipe r;
        r.streams = {Stream(1, SmallBlocks(3, 3000)), Stream(2, SmallBlocks(3, 3000))};
        add("check-unknown", false, r);
    }
    {   // A header's uncompressed size off by one; another's compressed size off by four.
        Recipe r;
        std::vector<BlockPlan> blocks = SmallBlocks(5, 4000);
        blocks[1].uncompressed_field = SizeField::Wrong;
        blocks[1].wrong_by = -1;
        r.streams = {Stream(4, blocks)};
        add("header-uncompressed-size-wrong", false, r);
        blocks[1].uncompressed_field = SizeField::Absent;
        blocks[3].compressed_field = SizeField::Wrong;
        blocks[3].wrong_by = 4;
        r.streams = {Stream(4, blocks)};
        add("header-compressed-size-wrong", false, r);
    }
    {   // A 4 GiB dictionary named in the second block's header.
        Recipe r;
        std::vector<BlockPlan> blocks = SmallBlocks(4, 2000);
        blocks[1].dictionary_byte = 40;
        r.streams = {Stream(4, blocks)};
        add("dictionary-4gib", false, r);
    }
    {   // The first header's dictionary byte damaged, so that the scan sizing
        // the workers skips the header, and mended once the walk is over:
        // a worker then meets a 4 GiB dictionary that no share counted.
        Recipe r;
        std::vector<BlockPlan> blocks = SmallBlocks(3, 3000);
        blocks[0].dictionary_byte = 40;
        r.streams = {Stream(4, blocks)};
        constexpr uint32_t kFirstDictionaryByte = 12 + 4; // stream header, size byte, flags, filter ID and size
        r.damages = {{kFirstDictionaryByte, 40}};
        r.change = true;
        r.change_at = kFirstDictionaryByte;
        r.change_mask = 40;
        add("header-mended-after-scan", false, r);
    }
    {   // A dictionary smaller than the encoder used, over data that reaches back further.
        Recipe r;
        BlockPlan b = Block(Payload::Words, 200000, 5);
        b.encoder_dictionary = 3;
        b.dictionary_byte = 0;
        r.streams = {Stream(4, SmallBlocks(3, 2000)), Stream(4, {b})};
        add("dictionary-too-small", false, r);
    }
    {   // Records past the cap, and a literal payload.
        Recipe r;
        r.max_records = 2;
        BlockPlan lit = Block(Payload::Literal, 0);
        const char* text = "literal payload bytes from the recipe itself";
        lit.literal.assign(text, text + std::strlen(text));
        lit.length = static_cast<uint32_t>(lit.literal.size());
        std::vector<BlockPlan> blocks = SmallBlocks(10, 1000);
        blocks.push_back(lit);
        r.streams = {Stream(1, blocks)};
        add("records-past-cap-literal", true, r);
    }
    return seeds;
}

// liblzma's own verdict on the archive: the payload, or a failure.
bool DecodesTo(const std::vector<uint8_t>& file, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> out(payload.size() + 1);
    uint64_t memlimit = uint64_t{1} << 30;
    size_t in_pos = 0;
    size_t out_pos = 0;
    const lzma_ret ret = lzma_stream_buffer_decode(&memlimit, LZMA_CONCATENATED | LZMA_TELL_UNSUPPORTED_CHECK, nullptr,
                                                   file.data(), &in_pos, file.size(), out.data(), &out_pos, out.size());
    return ret == LZMA_OK && in_pos == file.size() && out_pos == payload.size() &&
           std::equal(payload.begin(), payload.end(), out.begin());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    int failures = 0;
    for (const Seed& seed : Seeds()) {
        const std::vector<uint8_t> bytes = Serialize(seed.recipe);
        if (!(Parse(bytes.data(), bytes.size()) == seed.recipe)) {
            std::fprintf(stderr, "%s: does not read back as written\n", seed.name);
            ++failures;
        }
        Archive archive;
        if (!Build(seed.recipe, &archive)) {
            std::fprintf(stderr, "%s: liblzma could not encode it\n", seed.name);
            ++failures;
        } else if (DecodesTo(archive.file, archive.payload) != seed.sound) {
            std::fprintf(stderr, "%s: liblzma %s it\n", seed.name, seed.sound ? "refuses" : "accepts");
            ++failures;
        }
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "%s: cannot write\n", path.c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
