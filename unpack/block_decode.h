// Test and extraction of a whole archive: the choice of decoder, and the decoder that works
// block by block from the indexes.
#ifndef UNPACK_BLOCK_DECODE_H
#define UNPACK_BLOCK_DECODE_H

#include <cstdint>
#include <memory>

#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "codec/threading.h"
#include "plugin/result_code.h"
#include "xzformat/byte_source.h"
#include "xzformat/probe.h"

namespace unpack {

enum class DecodeEngine {
    SingleThreaded,  // liblzma's stream decoder on the calling thread
    LibraryThreaded, // liblzma's threaded stream decoder
    IndexDriven,     // DecodeBlocks: blocks found through the indexes, on worker threads
};

// The one place that picks the engine for an archive of these blocks.
DecodeEngine ChooseDecodeEngine(const codec::CodecApi& codec, const xzformat::BlockLayout& blocks,
                                uint32_t processors);

// Readers of the archive at offsets, one for the walk over its indexes and
// one for each worker, so that a worker's read never waits for another's
// (Windows runs the reads of one synchronous handle one at a time).
class ArchiveReaders {
public:
    virtual ~ArchiveReaders() = default;
    // A reader of its own, or null when none can be had: a worker then
    // shares the walk's, and without that the stream decoder runs.
    virtual std::unique_ptr<xzformat::ByteSource> Open() = 0;
};

// What DecodeBlocks may hold and how long the host may wait; tests lower them.
struct BlockDecodeLimits {
    // Records (blocks, and streams without any) past which the indexes are
    // left to the stream decoder, which keeps no table of them.
    uint64_t max_records = xzformat::kMaxBlockRecords;
    // The longest the calling thread waits for the workers before it tells
    // the host, with a report of 0 bytes, and hears whether to go on.
    uint32_t quiet_ms = 50;
    // Compressed bytes of consecutive small blocks that one worker takes at
    // once: a hand-over costs more than a tiny block's decoding.
    uint64_t task_input = 64 * 1024;
};

// Decodes every block that the indexes of the archive list, on worker
// threads, and hands the output over in file order on the calling thread:
// the block next in order as it is decoded, in steps of at most 4096 bytes,
// each written to sink (none for a test) and then reported to progress, as
// DecodeRun does; while it waits, the host hears a report of 0 bytes every
// limits.quiet_ms, and an answer of 0 stops every worker at its next step.
// The chain is read and checked again first: a file that is no longer a
// whole chain of sound streams gives 12, while one replaced by another
// valid .xz file decodes as that file. Takes each worker's memory (its
// dictionary, input window and output lane) from budget; where fewer than
// two workers' shares are free, the records pass limits.max_records or the
// budget, the blocks are too few to share, or no worker can be started,
// stream is decoded by DecodeRun instead, with nothing of this held.
// Results as DecodeRun's: 0, 11, 12, 18, 19 or 21; of several faults the
// one in the earliest block decides, as it would on one thread.
plugin::ResultCode DecodeBlocks(const codec::CodecApi& codec, ArchiveReaders& readers,
                                codec::ChunkSource& stream, codec::ChunkSink* sink,
                                codec::ProgressSink& progress, uint32_t processors,
                                codec::MemoryBudget& budget, const BlockDecodeLimits& limits = {});

// Test or extraction of an archive whose open found these blocks: the
// engine ChooseDecodeEngine names, over stream (read from its start) or,
// for the index-driven one, readers (null when the archive cannot be read
// at offsets, which keeps the other engines).
plugin::ResultCode DecodeArchive(const codec::CodecApi& codec, codec::ChunkSource& stream,
                                 ArchiveReaders* readers, codec::ChunkSink* sink,
                                 codec::ProgressSink& progress, const xzformat::BlockLayout& blocks,
                                 uint32_t processors, codec::MemoryBudget& budget);

} // namespace unpack

#endif
