// The decompression loop behind test and extraction.
#ifndef UNPACK_DECODE_RUN_H
#define UNPACK_DECODE_RUN_H

#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "codec/threading.h"
#include "plugin/result_code.h"

namespace unpack {

// The one mapping from a decoder's failing status to the host's code, for
// the stream decoder and the block decoder alike: out of memory 11, "no
// progress" 18 (the input ended short), anything else 12.
plugin::ResultCode FromDecoderStatus(lzma_ret status);

// Decodes all of input in 4096-byte chunks, writes the output to sink (none
// for a test) and reports every codec step to progress. Success needs the
// codec's own end-of-stream: a file cut short is data the codec never saw
// end, not a smaller entry. Results: 0, 11, 12, 18, 19 or 21; the event met
// last decides, and a write error counts where its bytes were handed over,
// also when the sink tells of it later. With more than one thread, and a
// library that has the threaded decoder, the blocks are decoded in
// parallel, with the same bytes and the same total reported, but:
// - its steps wait at most codec::kThreadedStepTimeout for the workers, so
//   a chunk can take several steps, some of them reported with 0 bytes;
// - an abort ends the run at once instead of at the end of the chunk;
// - a read error in the same chunk as corrupt data gives 18 where one
//   thread gives 12, since the threaded decoder cannot tell data cut short
//   by the failed read from corrupt data.
plugin::ResultCode DecodeRun(const codec::CodecApi& codec, codec::ChunkSource& input,
                             codec::ChunkSink* sink, codec::ProgressSink& progress,
                             codec::DecoderThreads threads = codec::kSingleThreaded);

} // namespace unpack

#endif
