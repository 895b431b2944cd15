// Test and extraction of a whole archive: the choice of decoder, and the decoder that works
// block by block from the indexes.
#ifndef UNPACK_BLOCK_DECODE_H
#define UNPACK_BLOCK_DECODE_H

#include <cstdint>

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

// Decodes every block that the indexes of archive list, each by itself on
// worker threads, and hands the output over in file order on the calling
// thread: in steps of at most 4096 bytes, each written to sink (none for a
// test) and then reported to progress, as DecodeRun does. The chain is read
// again and checked first, so a file changed since it was opened gives 12.
// archive must allow reads at offsets from several threads at once. Takes
// each worker's memory (one block compressed and decoded, and its
// dictionary) from budget; where fewer than two workers' shares are free,
// or the indexes cannot be held, stream is decoded by DecodeRun instead.
// Results as DecodeRun's: 0, 11, 12, 18, 19 or 21; of several faults the
// one in the earliest block decides, as it would on one thread.
plugin::ResultCode DecodeBlocks(const codec::CodecApi& codec, xzformat::ByteSource& archive,
                                codec::ChunkSource& stream, codec::ChunkSink* sink,
                                codec::ProgressSink& progress, uint32_t processors,
                                codec::MemoryBudget& budget);

// Test or extraction of an archive whose open found these blocks: the
// engine ChooseDecodeEngine names, over stream (read from its start) or,
// for the index-driven one, archive (null when it cannot be read at
// offsets, which keeps the other engines).
plugin::ResultCode DecodeArchive(const codec::CodecApi& codec, codec::ChunkSource& stream,
                                 xzformat::ByteSource* archive, codec::ChunkSink* sink,
                                 codec::ProgressSink& progress, const xzformat::BlockLayout& blocks,
                                 uint32_t processors, codec::MemoryBudget& budget);

} // namespace unpack

#endif
